#include "korvel/update/run_state.h"

std::string DownloadDir;

std::recursive_mutex DownloadLock;
std::atomic<bool> QuitRequested{false};
std::atomic<bool> StopTorrent{false};
std::atomic<std::uint32_t> PendingDownloads{0};

std::string TorrentOptions;
std::string ClosingTorrentUrl;

std::string GameDir;
std::string ReportUrl;

std::string InstallerPath;
std::string InstallerMd5;
std::string ShapeFilePath;
std::string InstallerSignature;

std::map<std::string, std::string> ReportQueries;

std::vector<PatchRecord> UpdateList;
std::int32_t ClosingTorrentMode = 0;
std::int32_t ClosingSeconds = 0;

signing::TrustedKeys PublisherKeys;
std::vector<std::string> PatchSignatures;
