#include "korvel/app/patch_worker.h"

#include <sys/stat.h>

#include <ctime>
#include <mutex>

#include "korvel/app/globals.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/bt/torrent_download.h"
#include "korvel/net/http_download.h"
#include "korvel/net/http_url.h"
#include "korvel/net/report.h"
#include "korvel/net/signature_fetch.h"
#include "korvel/net/simple_http.h"
#include "korvel/res/strings.h"
#include "korvel/update/settings.h"
#include "korvel/update/signatures.h"
#include "platform/shell.h"

using platform::MbButtons;
using platform::MbIcon;

std::string ManualGuideUrl() {
    return res::kManualGuideUrl;
}

namespace {

int Ask(CkorvelDlg* window, const std::string& text, const std::string& caption,
        MbButtons buttons) {
    platform::MessageBoxSpec box;
    box.text = text;
    box.caption = caption;
    box.buttons = buttons;
    return window->ShowBox(box);
}

// The two failures that offer the manual-update guide.
void OfferGuide(CkorvelDlg* window, const std::string& text) {
    if (Ask(window, text, "错误", MbButtons::YesNo) == platform::IDYES)
        platform::ShellOpen(ManualGuideUrl());
}

}  // namespace

void PatchWorker(CkorvelDlg* window) {
    const std::string dnsServers = LookupDnsServers();
    if (!window)
        return;
    window->m_workerStarted = true;

    window->PostStatusText("正在检查当前版本号...");
    const std::uint32_t installed = ReadClientVersion();
    if (installed == 0) {
        Ask(window, "检查当前版本号错误", "错误", MbButtons::Ok);
        window->Post(WM_FINISH, FINISH_NORMAL);
        return;
    }

    window->PostStatusText("正在获取更新列表...");
    const std::string listUrl = ReadSetting("", res::LoadString(res::IDS_UPDATE_URL_KEY),
                                            res::LoadString(res::IDS_DEFAULT_UPDATE_URL));
    std::string host, port, path;
    NetModel::SplitHttpUrl(listUrl, host, port, path);
    NetModel::CommHttp http(host, port, {15, 0}, {60, 0});
    if (!http.Execute(NetModel::BuildGetRequest(path, host))) {
        OfferGuide(window, "获取更新列表失败, " + http.GetError() + "\n是否查看手动更新指南？");
        window->Post(WM_FINISH, FINISH_NORMAL);
        return;
    }

    const std::string list = http.GetContent();
    // With publisher keys no line of the list is used before its signature
    // is checked.
    if (PublisherKeys.Enforced()) {
        const std::string refusal =
            CheckUpdateListSignature(PublisherKeys, list, FetchDocumentSignature(listUrl, false),
                                     listUrl, DownloadDir, std::time(nullptr));
        if (!refusal.empty()) {
            OfferGuide(window, refusal + res::LoadString(res::IDS_SIGNATURE_LIST_GUIDE));
            window->Post(WM_FINISH, FINISH_NORMAL);
            return;
        }
    }

    std::vector<PatchRecord> records;
    std::int32_t seconds = 0;
    std::string options;
    ParseUpdateList(installed, list, records, ClosingTorrentMode, seconds, options);
    ClosingSeconds = seconds;
    TorrentOptions = options;
    window->Post(WM_CLOSING_TIME, 0, seconds);

    if (records.empty()) {
        Ask(window, "没有补丁需要更新", "", MbButtons::Ok);
        window->m_downloadsDone = true;
        window->Post(WM_FINISH, FINISH_NORMAL);
        return;
    }

    std::size_t expected;
    {
        std::lock_guard lock(DownloadLock);
        PendingDownloads = static_cast<std::uint32_t>(records.size());
        UpdateList = records;
        PatchSignatures.assign(records.size(), std::string());
        expected = records.size();
    }

    for (std::size_t index = 0; index < records.size(); ++index) {
        const PatchRecord& record = records[index];
        {
            std::lock_guard lock(DownloadLock);
            if (QuitRequested) {
                window->PostStatusText("取消中...");
                window->Post(WM_FINISH, FINISH_CANCEL);
                return;
            }
            StopTorrent = false;
        }
        ::mkdir(DownloadDir.c_str(), 0755);
        const std::string name = PatchFileName(record.url);
        if (name.empty()) {
            Ask(window, "url错误", "", MbButtons::Ok);
            window->Post(WM_FINISH, FINISH_NORMAL);
            return;
        }
        const std::string localPath = DownloadDir + "/" + name;
        window->PostStatusText("开始下载 " + name);
        window->PostFileText(name);
        // The file's signature lies beside it; it is checked with the file
        // once all have arrived (a missing one refuses the file then). Not
        // part of the transfer time the statistics report.
        if (PublisherKeys.Enforced()) {
            std::string signature =
                FetchFileSignature(record.method == "bt" ? record.url : record.httpUrl);
            std::lock_guard lock(DownloadLock);
            PatchSignatures[index] = std::move(signature);
        }
        const std::time_t start = std::time(nullptr);

        std::string method;
        bool failed;
        if (record.method == "bt") {
            method = "bt";
            // The script returns normally whether or not the file arrived;
            // it arrived when the script reported the transfer complete.
            const std::uint64_t finishedBefore = FinishedTransfers();
            const int result =
                RunTorrentDownload(window, record.url + ".torrent", localPath, TorrentOptions);
            failed = result != 0 || FinishedTransfers() == finishedBefore;
        } else {
            method = "http";
            const int result = DownloadPatchFile(*window, record.httpUrl, localPath, record.md5);
            if (result == DOWNLOAD_STOPPED) {
                window->Post(WM_FINISH, FINISH_CANCEL);
                return;
            }
            failed = (result != DOWNLOAD_DONE);
            if (result == DOWNLOAD_DONE && PendingDownloads == 0) {
                window->Post(WM_DOWNLOADS_DONE);
                window->m_downloadsDone = true;
            } else {
                QuitRequested = false;  // a failure is reported below, not taken for a cancel
            }
        }
        RecordDownloadReport(record, method, failed, start, std::time(nullptr), dnsServers);

        std::unique_lock lock(DownloadLock);
        if (PendingDownloads == expected - 1) {
            expected = PendingDownloads;
            continue;
        }
        const bool cancelPending = QuitRequested;
        lock.unlock();
        if (!cancelPending) {
            window->KillTimer(TIMER_BT_WATCH);
            OfferGuide(window, "下载过程发生错误，无法继续自动更新 \n是否查看手动更新指南？");
        }
        window->Post(WM_FINISH, FINISH_NORMAL);
        return;
    }
}
