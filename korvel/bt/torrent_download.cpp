#include "korvel/bt/torrent_download.h"

#include <sys/stat.h>

#include <mutex>

#include "korvel/app/app_message_box.h"
#include "korvel/app/globals.h"
#include "korvel/app/korvel_dlg.h"

int RunTorrentDownload(CkorvelDlg* window, const std::string& torrentUrl,
                       const std::string& /*savePath*/, const std::string& /*options*/) {
    if (window)
        window->PostStatusText("本版本不支持BT下载: " + torrentUrl);
    return 1;
}

int ClosingTorrentThread(CkorvelDlg* window) {
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
        AppMessageBox("url错误", platform::MbButtons::Ok, platform::MbIcon::None, 0, window);
        window->Post(WM_FINISH, FINISH_CANCEL);
        return 1;
    }
    window->m_closingTorrent = true;
    window->m_btState = 1;
    RunTorrentDownload(window, ClosingTorrentUrl + ".torrent", DownloadDir + "/" + name,
                       TorrentOptions);
    return 0;
}
