#include "korvel/expansion/expansion_worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <sstream>
#include <vector>

#include "korvel/expansion/expansion_table.h"
#include "korvel/expansion/expansion_window.h"
#include "korvel/expansion/installer.h"
#include "korvel/net/http_download.h"
#include "korvel/net/http_url.h"
#include "korvel/net/signature_fetch.h"
#include "korvel/net/simple_http.h"
#include "korvel/res/strings.h"
#include "korvel/update/md5.h"
#include "korvel/update/settings.h"
#include "korvel/update/signatures.h"
#include "korvel/update/update_list.h"
#include "platform/shell.h"

using platform::MbButtons;
using platform::MbIcon;

namespace {

platform::MessageBoxSpec Box(const std::string& text, const std::string& caption,
                             MbButtons buttons = MbButtons::Ok, bool topMost = false) {
    platform::MessageBoxSpec box;
    box.text = text;
    box.caption = caption;
    box.buttons = buttons;
    box.icon = MbIcon::None;
    box.topMost = topMost;
    return box;
}

std::string Format(const char* pattern, const std::string& arg) {
    std::vector<char> text(arg.size() + std::char_traits<char>::length(pattern) + 1);
    std::snprintf(text.data(), text.size(), pattern, arg.c_str());
    return text.data();
}

// One small document over the updater's own client. The request line names
// the path, or the whole address when wholeAddress is set.
bool FetchDocument(const std::string& url, bool wholeAddress, std::string& content,
                   std::string& error) {
    std::string host, port, path;
    NetModel::SplitHttpUrl(url, host, port, path);
    NetModel::CommHttp http(host, port, {15, 0}, {60, 0});
    if (!http.Execute(NetModel::BuildGetRequest(wholeAddress ? url : path, host))) {
        error = http.GetError();
        return false;
    }
    content = http.GetContent();
    return true;
}

// Passes everything on to the window and notes whether the download posted
// WM_EXPANSION_DONE: it does not when the installer was already there, or
// when the local file could not be opened.
class WatchedDownloadWindow : public DownloadWindow {
  public:
    explicit WatchedDownloadWindow(DownloadWindow& window) : window_(window) {}
    void PostStatusText(const std::string& text) override { window_.PostStatusText(text); }
    void SetDownloadBar(int percent) override { window_.SetDownloadBar(percent); }
    void ShowMessage(const std::string& text) override { window_.ShowMessage(text); }
    void PostExpansionDone() override {
        donePosted = true;
        window_.PostExpansionDone();
    }
    void SetBtState(std::int32_t state) override { window_.SetBtState(state); }

    bool donePosted = false;

  private:
    DownloadWindow& window_;
};

}  // namespace

std::string ExpansionListDigest(const std::string& list, const std::string& key) {
    std::istringstream words(list);
    std::string name, digest;
    while (words >> name) {
        digest.clear();
        words >> digest;
        if (name == key)
            return digest;
    }
    return {};
}

bool IsTorrentDownloadType(const std::string& value) {
    return value == "1";
}

int ExpansionWorker(ExpansionWindow* window) {
    if (!window)
        return 1;
    ExpansionValues values = window->Values();

    std::string title, installerUrl;
    if (FindMissingExpansion(values.gameDir, title, installerUrl, values.shapeFilePath) == 0) {
        window->ShowBox(Box("没有发现需要更新的资料片", "提示"));
        window->PostFinish();
        return 1;
    }
    const std::string key = ExpansionKeyForTitle(title);
    window->SetWorkerStarted();
    window->PostFileText(title);

    window->PostStatusText("正在检查当前版本号...");
    const std::uint32_t installed = ReadClientVersion();
    window->PostStatusText("正在获取更新列表...");
    const std::string listUrl =
        ReadSetting("", setting::kUpdateUrl, res::LoadString(res::IDS_DEFAULT_UPDATE_URL));
    std::string list, error;
    if (!FetchDocument(listUrl, false, list, error)) {
        if (window->ShowBox(Box("获取更新列表失败, " + error + "\n是否查看手动更新指南？", "错误",
                                MbButtons::YesNo)) == platform::IDYES)
            platform::ShellOpen(res::kManualGuideUrl);
        window->PostFinish();
        return 1;
    }
    if (values.trustedKeys.Enforced()) {
        const std::string refusal = CheckUpdateListSignature(
            values.trustedKeys, list, FetchDocumentSignature(listUrl, false), listUrl,
            values.downloadDir, std::time(nullptr));
        if (!refusal.empty()) {
            if (window->ShowBox(Box(refusal + res::LoadString(res::IDS_SIGNATURE_LIST_GUIDE),
                                    "错误", MbButtons::YesNo)) == platform::IDYES)
                platform::ShellOpen(res::kManualGuideUrl);
            window->PostFinish();
            return 1;
        }
    }
    std::vector<PatchRecord> records;  // not used in this mode
    std::int32_t seconds = 0;
    std::string options;
    ParseUpdateList(installed, list, records, values.closingTorrentMode, seconds, options);

    // An expansion list that cannot be fetched counts as an empty one.
    // With publisher keys a list that came must carry a good signature.
    values.installerMd5.clear();
    const std::string digestsUrl = ReadSetting("", setting::kExpMd5Info, res::kDefaultExpMd5Url);
    std::string digests;
    if (FetchDocument(digestsUrl, true, digests, error)) {
        if (values.trustedKeys.Enforced()) {
            const std::string name = signing::ExpectedFileName(digestsUrl);
            const signing::Verdict verdict = signing::VerifyBytes(
                values.trustedKeys, digests, FetchDocumentSignature(digestsUrl, true), name,
                std::time(nullptr));
            if (verdict.result != signing::Check::Ok) {
                window->ShowBox(Box(SignatureRefusal(verdict.result, name), "错误"));
                window->PostFinish();
                return 1;
            }
        }
        values.installerMd5 = ExpansionListDigest(digests, key);
    }

    values.torrentOptions = options;
    window->PostClosingTime(seconds);

    ::mkdir(values.downloadDir.c_str(), 0755);
    const std::string name = PatchFileName(installerUrl);
    if (name.empty()) {
        // Nothing to store the installer as (and nothing to run later).
        window->ShowBox(Box("url错误", ""));
        window->PostFinish();
        return 1;
    }
    values.installerPath = values.downloadDir + "/" + name;
    // Checked once the installer is there, before it may run.
    values.installerSignature =
        values.trustedKeys.Enforced() ? FetchFileSignature(installerUrl) : std::string();
    const std::string torrentUrl = MirrorTorrentUrl(installerUrl + ".torrent");

    if (IsTorrentDownloadType(
            ReadSetting("", setting::kExpDownloadType, setting::kExpDownloadTypeDefault))) {
        // A completed torrent reports itself (WM_EXPANSION_DONE). One that
        // failed on its own ends the run, and the close handling offers the
        // HTTP updater; one stopped by the window is ended there already.
        const int result =
            window->RunTorrentDownload(torrentUrl, values.installerPath, values.torrentOptions);
        if (result != 0 && !values.quitRequested) {
            // The watch the download started goes with the run, so that the
            // no-response question cannot open over the close handling.
            window->KillBtWatchTimer();
            window->PostFinish();
        }
    } else {
        WatchedDownloadWindow watched(*window);
        const int result = DownloadExpansionFile(watched, installerUrl, values.installerPath);
        if (!watched.donePosted) {
            // An installer already there with its listed digest is used as
            // it is; a file that could not even be opened has been reported.
            if (result == DOWNLOAD_DONE)
                window->PostExpansionDone();
            else
                window->PostFinish();
        }
    }
    return 0;
}

void OnExpansionDone(ExpansionWindow& window) {
    if (!window.BeginInstalling())
        return;
    ExpansionValues values = window.Values();
    if (!values.installerMd5.empty() &&
        CheckFileMd5(values.installerPath, values.installerMd5) != 1) {
        window.ShowBox(Box(
            Format("资料片相关文件下载发生错误， 请重新下载\n %s", values.installerPath), "错误"));
        window.PostFinish();
        return;
    }
    // A download that failed (reported already) is never run, even when no
    // digest could tell: it may be cut short.
    if (values.quitRequested) {
        window.PostFinish();
        return;
    }
    // The publisher's signature, before the installer is made executable.
    if (values.trustedKeys.Enforced()) {
        const std::string name = PatchFileName(values.installerPath);
        const std::string refusal =
            CheckFileSignature(values.trustedKeys, values.installerPath, values.installerSignature,
                               name, std::time(nullptr));
        if (!refusal.empty()) {
            window.ShowBox(Box(
                refusal + Format(res::LoadString(res::IDS_SIGNATURE_FILE_DELETED).c_str(), name),
                "错误"));
            ::unlink(values.installerPath.c_str());
            window.PostFinish();
            return;
        }
    }
    window.SetDownloadsDone();
    if (RunInstaller(window, values.gameDir, values.installerPath, values.shapeFilePath)) {
        window.StartClosingPhase();
        return;
    }
    window.ShowBox(Box("资料片更新发生错误", "提示", MbButtons::Ok, true));
    window.PostFinish();
}
