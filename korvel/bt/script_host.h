// The embedded Python interpreter that runs the download script
// btdownloadlibrary, and the host operation that downloads one file with it.
//
// Threads: start-up sets the interpreter up on the main thread and then
// releases the interpreter lock; each download takes it on its own thread
// for the length of the script's download() call (the script releases it
// while it waits); tear-down takes it back on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class TorrentWindow;

// The module search path the interpreter is given: the interpreter's
// standard library, its lib-dynload folder and Debian's dist-packages (for
// the libtorrent bindings). Nothing from the environment or the user's home.
std::vector<std::string> DefaultScriptModulePaths();

// Sets the interpreter up: C_debug as a built-in module, the frozen-module
// table with the script, optimisation level 1, an isolated configuration
// with exactly modulePaths as sys.path; then imports zlib, _socket and
// select. Once per process; later calls give the first call's result. A
// failure is kept, not shown: each download then shows a box instead.
bool InitScriptHost(const std::vector<std::string>& modulePaths = DefaultScriptModulePaths());

// Whether the interpreter is set up and downloads may run.
bool ScriptHostReady();
// Why InitScriptHost failed; empty when it did not.
std::string ScriptHostError();

// Finalises the interpreter on the thread that set it up. A download still
// running is told to stop (StopTorrent) and given up to wait to end; if it
// does not, the interpreter is left as it is (the process is ending anyway)
// and false is given.
bool FinalizeScriptHost(std::chrono::milliseconds wait = std::chrono::seconds(5));

// What C_debug reports to: the main window (null before the window exists
// and after it is gone: nothing is posted then) and the application's mode.
void SetTorrentMainWindow(TorrentWindow* window);
void SetTorrentExpansionMode(bool expansionMode);

// How many transfers the script reported complete (C_debug.finish) so far in
// this process: a download that returns without one did not get its file.
std::uint64_t FinishedTransfers();

// Downloads one file by running btdownloadlibrary.download(url, savePath,
// option) on the calling thread; 0 when the script ran to its end, 1 on
// any failure (shown in a box where the step calls for one). url is the
// torrent's address, savePath the local file, option the encoded extra
// options (TorrentOptions). Starts the no-response watch (timer 1001) when
// the window's m_btState is 0.
int RunTorrentDownload(TorrentWindow* window, const std::string& url, const std::string& savePath,
                       const std::string& option);

// Remaining time of a download in the progress text: "不确定" (unknown),
// "完成" (done), "M:SS" or "H:MM:SS".
std::string FormatTimeLeft(double seconds);
