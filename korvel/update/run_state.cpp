#include "korvel/update/run_state.h"

std::string DownloadDir;

std::recursive_mutex DownloadLock;
std::atomic<bool> QuitRequested{false};
std::atomic<bool> StopTorrent{false};
std::atomic<std::uint32_t> PendingDownloads{0};

std::string TorrentOptions;
std::string ClosingTorrentUrl;
