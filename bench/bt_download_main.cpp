// Runs one BitTorrent download through the script host as the updater does
// and prints when each step was reached (for bench/bt_download.sh).
//
// usage: bt_download_bench TORRENT_URL SAVE_PATH [OPTION_TEXT [LIMIT_SECONDS]]
//
// OPTION_TEXT is the encoded option list an update list hands over (empty:
// none).
//
// Standard output gets one line per step reached, "NAME SECONDS", SECONDS
// on the wall clock (since 1970) so that the calling script can set them
// against the moment it started the process:
//   main        main() entered
//   init        InitScriptHost() returned
//   import      the script module imported (its first import in the process)
//   call        RunTorrentDownload() called on the download thread
//   fetched     the script's first status text: the torrent file is fetched
//   session     the torrent's size reported: session made, torrent read
//   first_data  the file holds data (polled every 5 ms)
//   finish      C_debug.finish(): the file is complete; the torrent is told
//               to stop (in the updater the file would seed until the
//               run ends)
//   stopping    the script's last progress report ("shutting down")
//   returned    RunTorrentDownload() returned: torrent removed, session gone
//   finalized   FinalizeScriptHost() returned
// Status texts, messages and boxes go to standard error with their times.
// Exit code 0 when the file arrived, 1 when not (also after LIMIT_SECONDS,
// 300 by default: the torrent is then told to stop).

// Python.h first: it sets feature macros the C library headers depend on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
//
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvel/bt/script_host.h"
#include "korvel/bt/torrent_window.h"
#include "korvel/update/run_state.h"

namespace {

double WallSeconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

// The steps of one run with the time each was first reached.
class Steps {
  public:
    void Reach(const std::string& name) {
        const double now = WallSeconds();
        std::lock_guard lock(mutex_);
        if (times_.emplace(name, now).second)
            order_.push_back(name);
    }
    bool Reached(const std::string& name) {
        std::lock_guard lock(mutex_);
        return times_.count(name) != 0;
    }
    void Print() {
        std::lock_guard lock(mutex_);
        for (const std::string& name : order_)
            std::printf("%s %.6f\n", name.c_str(), times_[name]);
    }

  private:
    std::mutex mutex_;
    std::map<std::string, double> times_;
    std::vector<std::string> order_;
};

void Log(const char* what, const std::string& text) {
    std::fprintf(stderr, "%.3f %s %s\n", WallSeconds(), what, text.c_str());
}

// The window the download reports to: notes the steps, and stops the torrent
// once the file is complete so that the run ends.
class BenchWindow : public TorrentWindow {
  public:
    explicit BenchWindow(Steps& steps) : steps_(steps) {}

    void PostStatusText(const std::string& text) override { Log("status", text); }
    void SetDownloadBar(int) override {}
    void ShowMessage(const std::string& text) override { Log("message", text); }
    void PostExpansionDone() override {}
    void SetBtState(std::int32_t state) override { btState_ = state; }

    void PostTotalSize(std::int64_t bytes) override {
        steps_.Reach("session");
        Log("size", std::to_string(bytes));
    }
    void PostDownloadsDone() override {
        steps_.Reach("finish");
        {
            std::lock_guard lock(DownloadLock);
            StopTorrent = true;
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    void PostDownloadProgress(double percent, const std::string& text) override {
        ++reports_;
        // After completion the reports say 100 %; the one at the end of the
        // loop, with nothing done, is the script's "shutting down".
        if (percent == 0 && steps_.Reached("finish"))
            steps_.Reach("stopping");
        last_ = text;
    }
    void PostDownloadStatus(const std::string& text) override {
        steps_.Reach("fetched");
        Log("text", text);
    }
    void PostFinish(int reason) override { Log("finish", std::to_string(reason)); }
    std::int32_t BtState() const override { return btState_; }
    void SetBtWatchTimer() override {}
    void KillBtWatchTimer() override {}
    void SetClosingTorrent() override {}
    int ShowBox(platform::MessageBoxSpec box) override {
        Log("box", box.caption + ": " + box.text);
        return platform::DefaultResult(box);
    }

    // Waits until the file is complete, the download has ended or limit has
    // passed; true when complete.
    bool WaitFinished(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return finished_ || ended_; }) && finished_;
    }
    void Ended() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    long Reports() const { return reports_; }
    std::string LastReport() const {
        std::lock_guard lock(mutex_);
        return last_;
    }

  private:
    Steps& steps_;
    std::atomic<std::int32_t> btState_{0};
    std::atomic<long> reports_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    bool ended_ = false;
    std::string last_;
};

// The first import of the script, as the first download would do it.
bool ImportScript() {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* module = PyImport_ImportModule("btdownloadlibrary");
    const bool ok = module != nullptr;
    Py_XDECREF(module);
    if (!ok)
        PyErr_Print();
    PyGILState_Release(gil);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Steps steps;
    steps.Reach("main");
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s TORRENT_URL SAVE_PATH [OPTION_TEXT [LIMIT_SECONDS]]\n",
                     argv[0]);
        return 2;
    }
    const std::string url = argv[1], savePath = argv[2];
    const std::string option = argc >= 4 ? argv[3] : "";
    const int limit = argc == 5 ? std::atoi(argv[4]) : 300;
    if (limit <= 0) {
        std::fprintf(stderr, "LIMIT_SECONDS must be a positive number\n");
        return 2;
    }

    if (!InitScriptHost()) {
        std::fprintf(stderr, "InitScriptHost: %s\n", ScriptHostError().c_str());
        return 1;
    }
    steps.Reach("init");
    if (!ImportScript())
        return 1;
    steps.Reach("import");

    BenchWindow window(steps);
    SetTorrentMainWindow(&window);
    {
        std::lock_guard lock(DownloadLock);
        PendingDownloads = 1;
        StopTorrent = false;
    }

    // The download runs on a thread of its own, as the updater's worker does
    // it; this one watches the file and the time.
    int result = 1;
    std::thread download([&] {
        steps.Reach("call");
        result = RunTorrentDownload(&window, url, savePath, option);
        steps.Reach("returned");
        window.Ended();
    });
    std::thread watch([&] {
        struct stat st;
        for (;;) {
            if (::stat(savePath.c_str(), &st) == 0 && (st.st_blocks > 0 || st.st_size > 0)) {
                steps.Reach("first_data");
                return;
            }
            if (steps.Reached("returned"))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const bool complete = window.WaitFinished(std::chrono::seconds(limit));
    if (!complete) {
        Log("end", "no complete file; the torrent is told to stop");
        std::lock_guard lock(DownloadLock);
        StopTorrent = true;
    }
    download.join();
    watch.join();
    Log("reports", std::to_string(window.Reports()) + ", last: " + window.LastReport());

    SetTorrentMainWindow(nullptr);
    FinalizeScriptHost();
    steps.Reach("finalized");
    steps.Print();
    return complete && result == 0 ? 0 : 1;
}
