#include "korvel/bt/torrent_download.h"

#include <sys/stat.h>

#include <mutex>

#include "korvel/update/run_state.h"
#include "korvel/update/update_list.h"

int ClosingTorrentThread(TorrentWindow* window) {
    if (!window || ClosingTorrentUrl.empty())
        return 1;
    {
        std::lock_guard lock(DownloadLock);
        StopTorrent = false;
        QuitRequested = false;
    }
    ::mkdir(DownloadDir.c_str(), 0755);
    const std::string name = PatchFileName(ClosingTorrentUrl);
    if (name.empty()) {
        window->ShowMessage("url错误");
        window->PostFinish(TorrentWindow::kFinishAfterError);
        return 1;
    }
    window->SetClosingTorrent();
    window->SetBtState(1);
    RunTorrentDownload(window, ClosingTorrentUrl + ".torrent", DownloadDir + "/" + name,
                       TorrentOptions);
    return 0;
}
