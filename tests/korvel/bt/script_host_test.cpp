// The embedded interpreter host: C_debug driven from Python code run in the
// test process's own interpreter, RunTorrentDownload with script modules
// put in place by the tests, the frozen table's exclusions and tear-down.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
//
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "korvel/bt/frozen_script.h"
#include "korvel/bt/script_host.h"
#include "korvel/bt/torrent_download.h"
#include "korvel/update/run_state.h"
#include "tests/support/recording_torrent_window.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::RecordingTorrentWindow;
using testing_support::TempDir;
using Posted = RecordingTorrentWindow::Posted;

// Set before the interpreter starts; it must not reach sys.path.
constexpr const char* kPythonPathProbe = "/korvel-pythonpath-probe";

// "TypeName: message" of the pending exception, which is cleared.
std::string TakeException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?";
    if (PyObject* s = value ? PyObject_Str(value) : nullptr) {
        if (const char* utf8 = PyUnicode_AsUTF8(s))
            text += std::string(": ") + utf8;
        Py_DECREF(s);
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

// Runs statements (start == Py_file_input) or evaluates an expression in
// __main__, holding the interpreter lock. Gives the expression's str(),
// "" for statements, or "!" and the exception raised.
std::string RunPython(const std::string& code, int start = Py_file_input) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    std::string out;
    if (PyObject* result = PyRun_String(code.c_str(), start, globals, globals)) {
        if (start == Py_eval_input) {
            PyObject* s = PyObject_Str(result);
            out = s && PyUnicode_AsUTF8(s) ? PyUnicode_AsUTF8(s) : "!str";
            Py_XDECREF(s);
        }
        Py_DECREF(result);
    } else {
        out = "!" + TakeException();
    }
    PyGILState_Release(gil);
    return out;
}

std::string Eval(const std::string& expression) {
    return RunPython(expression, Py_eval_input);
}

// A stand-in for the download script, put in sys.modules where the import
// finds it before the frozen table. Its download() records its arguments
// and then runs BODY with url, save and option bound.
std::string ScriptModule(const std::string& body = "return None") {
    return "import sys, types, C_debug\n"
           "script = types.ModuleType('btdownloadlibrary')\n"
           "script.calls = []\n"
           "exec('''import C_debug\n"
           "def download(url, save, option):\n"
           "    calls.append((url, save, option))\n"
           "    " +
           body +
           "\n''', script.__dict__)\n"
           "sys.modules['btdownloadlibrary'] = script\n";
}

class ScriptHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ::setenv("PYTHONPATH", kPythonPathProbe, 1);
        ASSERT_TRUE(InitScriptHost()) << ScriptHostError();
    }
    void SetUp() override {
        PendingDownloads = 0;
        StopTorrent = false;
        QuitRequested = false;
        SetTorrentExpansionMode(false);
        SetTorrentMainWindow(&window_);
        ASSERT_EQ(RunPython("import C_debug, sys"), "");
    }
    void TearDown() override {
        SetTorrentMainWindow(nullptr);
        SetTorrentExpansionMode(false);
        RunPython(
            "sys.modules.pop('btdownloadlibrary', None)\n"
            "sys.path[:] = [p for p in sys.path if p != 'bt']\n");
    }

    RecordingTorrentWindow window_;
};

TEST_F(ScriptHostTest, InterpreterIsIsolatedAndOptimised) {
    struct Case {
        const char* expression;
        std::string value;
    } cases[] = {
        {"[p for p in sys.path if p != 'bt']", Eval(R"(['/usr/lib/python3.11',
            '/usr/lib/python3.11/lib-dynload', '/usr/lib/python3/dist-packages'])")},
        {"sys.flags.optimize", "1"},
        {"sys.flags.isolated and sys.flags.ignore_environment and sys.flags.no_user_site", "1"},
        {"'site' in sys.modules", "False"},
        {"sys.dont_write_bytecode", "True"},
        {"sys.executable", "/usr/bin/python3.11"},
        {"sys.flags.utf8_mode", "1"},
        {"all(m in sys.modules for m in ('zlib', '_socket', 'select'))", "True"},
        {"__import__('libtorrent').__file__.startswith('/usr/lib/python3/dist-packages/')", "True"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Eval(c.expression), c.value) << c.expression;
    EXPECT_EQ(Eval("'" + std::string(kPythonPathProbe) + "' in sys.path"), "False");
}

TEST_F(ScriptHostTest, OtherPlatformsModulesFailToImportEvenFromTheSearchPath) {
    TempDir dir;
    const char* names[] = {"dos", "dospath", "mac", "macpath", "macfs",         "MACFS",
                           "nt",  "os2",     "ce",  "riscos",  "riscosenviron", "riscospath"};
    for (const char* name : names)
        dir.Write(std::string(name) + ".py", "import sys\nsys.korvel_ran = True\n");
    ASSERT_EQ(RunPython("sys.path.append('" + dir.path() + "')"), "");
    for (const char* name : names) {
        const std::string result = RunPython(std::string("import ") + name);
        EXPECT_EQ(result.rfind("!ImportError", 0), 0u) << name << ": " << result;
    }
    EXPECT_EQ(Eval("hasattr(sys, 'korvel_ran')"), "False");
    EXPECT_EQ(RunPython("import posix, os, ntpath"), "");  // what this platform needs
    RunPython("sys.path.remove('" + dir.path() + "')");
}

TEST_F(ScriptHostTest, DownloadScriptComesFromTheProgram) {
    if (frozen_script::kModules.empty())
        GTEST_SKIP() << "no download script in korvel/bt/script";
    EXPECT_EQ(Eval("__import__('btdownloadlibrary').__spec__.origin"), "frozen");
    EXPECT_EQ(Eval("callable(__import__('btdownloadlibrary').download)"), "True");
}

TEST(FormatTimeLeft, Table) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        std::string text;
    } cases[] = {
        {0, "完成"},
        {-0.0, "完成"},
        {0.5, "0:00"},
        {59.9, "0:59"},
        {3599, "59:59"},
        {3600, "1:00:00"},
        {90061.5, "25:01:01"},
        {-1, "不确定"},
        {3e9, "833333:20:00"},
        {3600.0 * 1000000 + 3599, "1000000:59:59"},
        {3600.0 * 1000001, "不确定"},
        {4e9, "不确定"},
        {1e300, "不确定"},
        {inf, "不确定"},
        {-inf, "不确定"},
        {std::nan(""), "不确定"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimeLeft(c.seconds), c.text) << c.seconds;
}

TEST_F(ScriptHostTest, FinishCountsDownThePatchUpdate) {
    struct Case {
        bool expansion;
        std::uint32_t pending;
        bool stop;
        std::uint32_t left;
        std::vector<Posted> posted;
    } cases[] = {
        {false, 3, true, 2, {}},        {false, 2, true, 1, {}},
        {false, 1, false, 0, {{2026}}}, {false, 0, false, 0, {{2026}}},
        {true, 3, false, 3, {{2029}}},
    };
    for (const auto& c : cases) {
        SetTorrentExpansionMode(c.expansion);
        PendingDownloads = c.pending;
        StopTorrent = false;
        EXPECT_EQ(Eval("C_debug.finish()"), "None");
        EXPECT_EQ(StopTorrent, c.stop) << c.pending;
        EXPECT_EQ(PendingDownloads, c.left) << c.pending;
        EXPECT_EQ(window_.TakePosted(), c.posted) << c.pending << " " << c.expansion;
    }
    // Without a window the counting goes on and nothing is posted.
    SetTorrentMainWindow(nullptr);
    SetTorrentExpansionMode(false);
    PendingDownloads = 1;
    EXPECT_EQ(Eval("C_debug.finish()"), "None");
    EXPECT_EQ(PendingDownloads, 0u);
    EXPECT_TRUE(window_.TakePosted().empty());
}

TEST_F(ScriptHostTest, DisplayPostsPercentAndText) {
    struct Case {
        const char* call;
        double percent;
        std::string text;
    } cases[] = {
        {"1, {'fractionDone': 0}", 0, "下: 0.00kB/s 上: 0.00kB/s 已完成 (100%)"},
        {"0, {}", 0, "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (0.00%)"},
        {"0, {'fractionDone': 0.5, 'timeEst': 3600.0, 'downRate': 2048, 'upRate': 512.0}", 50,
         "下: 2.00kB/s 上: 0.50kB/s 估计剩余时间: 1:00:00 (50.00%)"},
        {"0, {'fractionDone': 0.25, 'timeEst': 0.0}", 25,
         "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 完成 (25.00%)"},
        // An integer time counts as missing.
        {"0, {'fractionDone': 0.25, 'timeEst': 60}", 25,
         "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (25.00%)"},
        {"True, {'fractionDone': 0.125, 'timeEst': 10.0, 'upRate': 1536}", 12.5,
         "下: 0.00kB/s 上: 1.50kB/s 已完成 (100%)"},
        // Values that are no numbers count as missing; the bar takes 0 to 100.
        {"0, {'fractionDone': 'half', 'downRate': None, 'upRate': float('nan')}", 0,
         "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (0.00%)"},
        {"0, {'fractionDone': 2.0}", 100,
         "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (100.00%)"},
        {"0, {'fractionDone': -1e308 * 10}", 0,
         "下: 0.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (0.00%)"},
    };
    window_.btState = 2;  // no watch to end here
    for (const auto& c : cases) {
        EXPECT_EQ(Eval(std::string("C_debug.display(") + c.call + ")"), "False") << c.call;
        EXPECT_EQ(window_.TakePosted(), (std::vector<Posted>{{2027, c.percent, c.text, 0}}))
            << c.call;
    }
    StopTorrent = true;
    EXPECT_EQ(Eval("C_debug.display(0, {})"), "True");
    EXPECT_EQ(window_.TakePosted().size(), 1u);
    // Without a window: nothing posted, the answer still given.
    SetTorrentMainWindow(nullptr);
    EXPECT_EQ(Eval("C_debug.display(0, {'downRate': 5000.0})"), "True");
    EXPECT_TRUE(window_.TakePosted().empty());
    EXPECT_TRUE(window_.TakeTimerCalls().empty());
}

TEST_F(ScriptHostTest, OnlyAWholeBytePerSecondEndsTheWatch) {
    struct Case {
        std::int32_t state;
        const char* rates;
        std::int32_t stateAfter;
        bool killed;
    } cases[] = {
        {0, "'downRate': 0.7", 0, false},
        {0, "'upRate': 0.99, 'downRate': -0.9", 0, false},
        {0, "'downRate': 1.0", 1, true},
        {0, "'upRate': 1", 1, true},
        {0, "'downRate': 123456.0, 'upRate': 7.0", 1, true},
        {2, "'downRate': 5000.0", 2, false},  // the question was asked already
        {1, "'downRate': 5000.0", 1, false},
    };
    for (const auto& c : cases) {
        window_.btState = c.state;
        EXPECT_EQ(Eval(std::string("C_debug.display(0, {") + c.rates + "})"), "False");
        EXPECT_EQ(window_.btState, c.stateAfter) << c.rates;
        EXPECT_EQ(window_.TakeTimerCalls(),
                  c.killed ? std::vector<std::string>{"kill 1001"} : std::vector<std::string>{})
            << c.rates;
        EXPECT_EQ(window_.TakePosted().size(), 1u) << c.rates;
    }
}

TEST_F(ScriptHostTest, ErrorAndActivePostTheirValues) {
    EXPECT_EQ(Eval("C_debug.error('[12:00:01] 连接失败')"), "None");
    EXPECT_EQ(Eval("C_debug.active(5000000000)"), "None");
    EXPECT_EQ(Eval("C_debug.active(-1)"), "None");
    EXPECT_EQ(Eval("C_debug.output('discarded')"), "None");
    EXPECT_EQ(window_.TakePosted(), (std::vector<Posted>{{2028, 0, "[12:00:01] 连接失败", 0},
                                                         {2025, 0, "", 5000000000},
                                                         {2025, 0, "", -1}}));
    SetTorrentMainWindow(nullptr);
    EXPECT_EQ(Eval("(C_debug.error('x'), C_debug.active(1), C_debug.finish())"),
              "(None, None, None)");
    EXPECT_TRUE(window_.TakePosted().empty());
}

TEST_F(ScriptHostTest, ArgumentErrorsRaiseAndChangeNothing) {
    struct Case {
        const char* call;
        const char* error;
    } cases[] = {
        {"C_debug.output()", "TypeError"},
        {"C_debug.output(1)", "TypeError"},
        {"C_debug.output('a\\0b')", "ValueError"},
        {"C_debug.finish(1)", "TypeError"},
        {"C_debug.finish(done=1)", "TypeError"},
        {"C_debug.error(None)", "TypeError"},
        {"C_debug.error(b'bytes')", "TypeError"},
        {"C_debug.error('a', 'b')", "TypeError"},
        {"C_debug.display('1', {})", "TypeError"},
        {"C_debug.display(1.5, {'downRate': 9e9})", "TypeError"},
        {"C_debug.display(1, [('downRate', 9e9)])", "TypeError"},
        {"C_debug.display(1)", "TypeError"},
        {"C_debug.display(2**40, {'downRate': 9e9})", "OverflowError"},
        {"C_debug.active('5')", "TypeError"},
        {"C_debug.active(2**64)", "OverflowError"},
    };
    for (const auto& c : cases) {
        PendingDownloads = 3;
        StopTorrent = false;
        window_.btState = 0;
        const std::string result = RunPython(c.call);
        EXPECT_EQ(result.rfind(std::string("!") + c.error, 0), 0u) << c.call << ": " << result;
        EXPECT_EQ(PendingDownloads, 3u) << c.call;
        EXPECT_FALSE(StopTorrent) << c.call;
        EXPECT_EQ(window_.btState, 0) << c.call;
        EXPECT_TRUE(window_.TakePosted().empty()) << c.call;
        EXPECT_TRUE(window_.TakeTimerCalls().empty()) << c.call;
    }
}

TEST_F(ScriptHostTest, DownloadsRunTheScriptOnTheCallingThread) {
    ASSERT_EQ(RunPython(ScriptModule("C_debug.active(42)\n"
                                     "    C_debug.display(0, {'downRate': 2048.0})\n"
                                     "    C_debug.finish()\n"
                                     "    return False")),
              "");
    PendingDownloads = 2;
    // The first call on this thread, the second on another one, as the
    // worker and then the closing-phase torrent do.
    EXPECT_EQ(RunTorrentDownload(&window_, "http://127.0.0.1:9/a.dat.torrent", "/g/download/a.dat",
                                 "opts"),
              0);
    int second = -1;
    std::thread([&] {
        second =
            RunTorrentDownload(&window_, "http://127.0.0.1:9/b.dat.torrent", "/g/\xff.dat", "");
    }).join();
    EXPECT_EQ(second, 0);

    EXPECT_EQ(Eval("sys.path[:2] == ['bt', 'bt'] and sys.path[2] != 'bt'"), "True");
    EXPECT_EQ(Eval("sys.modules['btdownloadlibrary'] is script"), "True");
    // Bytes that are not UTF-8 reach the script's file calls unchanged.
    EXPECT_EQ(Eval("[(u, __import__('os').fsencode(s), o) for u, s, o in script.calls]"),
              "[('http://127.0.0.1:9/a.dat.torrent', b'/g/download/a.dat', 'opts'), "
              "('http://127.0.0.1:9/b.dat.torrent', b'/g/\\xff.dat', '')]");
    EXPECT_EQ(window_.TakeTimerCalls(), (std::vector<std::string>{"set 1001", "kill 1001"}));
    // The first finish stops the torrent (a file follows), the second one
    // ends the patch update.
    const Posted size{2025, 0, "", 42};
    const Posted progress{2027, 0, "下: 2.00kB/s 上: 0.00kB/s 估计剩余时间: 不确定 (0.00%)", 0};
    EXPECT_EQ(window_.TakePosted(), (std::vector<Posted>{size, progress, size, progress, {2026}}));
    EXPECT_TRUE(window_.boxes.empty() && window_.messages.empty());
}

TEST_F(ScriptHostTest, StartFailuresShowTheirBoxes) {
    struct Case {
        const char* what;
        std::string setUp, cleanUp;
        std::string caption, text;  // caption "" with text: the program's own box
    } cases[] = {
        {"no sys module", "import sys as _sys\n_sys.modules['sys'] = None",
         "_sys.modules['sys'] = _sys", "", "下载启动出错"},
        {"sys is not a module", "import sys as _sys\n_sys.modules['sys'] = 7",
         "_sys.modules['sys'] = _sys", "错误", "获取系统模块信息失败"},
        {"sys.path is a tuple", "_path = sys.path\nsys.path = tuple(_path)", "sys.path = _path",
         "错误", "初始化模块路径失败"},
        {"no sys.path", "_path = sys.path\ndel sys.path", "sys.path = _path", "错误",
         "初始化模块路径失败"},
        {"script fails to import", "sys.modules['btdownloadlibrary'] = None", "", "错误",
         "初始化下载模块downloadlibrary失败"},
        {"script's own imports fail",
         "class _NoLibtorrent:\n"
         "    @staticmethod\n"
         "    def find_spec(name, path, target=None):\n"
         "        if name == 'btdownloadlibrary':\n"
         "            raise ImportError('No module named libtorrent')\n"
         "sys.meta_path.insert(0, _NoLibtorrent)",
         "sys.meta_path.remove(_NoLibtorrent)", "错误", "初始化下载模块downloadlibrary失败"},
        {"script is not a module", "sys.modules['btdownloadlibrary'] = 42", "", "", "下载启动失败"},
        {"no download()", ScriptModule() + "del script.download", "", "", ""},
        {"download is no function", ScriptModule() + "script.download = 5", "", "", ""},
        {"download() raises", ScriptModule("raise RuntimeError('boom')"), "", "", ""},
    };
    window_.btState = 1;
    for (const auto& c : cases) {
        ASSERT_EQ(RunPython(c.setUp), "") << c.what;
        window_.boxes.clear();
        window_.messages.clear();
        EXPECT_EQ(RunTorrentDownload(&window_, "u", "s", "o"), 1) << c.what;
        // Nothing is left pending for the next user of the interpreter.
        EXPECT_EQ(Eval("1"), "1") << c.what;
        ASSERT_EQ(RunPython(c.cleanUp), "") << c.what;
        RunPython("sys.modules.pop('btdownloadlibrary', None)");
        if (c.text.empty()) {
            EXPECT_TRUE(window_.boxes.empty() && window_.messages.empty()) << c.what;
        } else if (c.caption.empty()) {
            EXPECT_TRUE(window_.boxes.empty()) << c.what;
            EXPECT_EQ(window_.messages, std::vector<std::string>{c.text}) << c.what;
        } else {
            EXPECT_TRUE(window_.messages.empty()) << c.what;
            ASSERT_EQ(window_.boxes.size(), 1u) << c.what;
            EXPECT_EQ(window_.boxes[0].caption, c.caption) << c.what;
            EXPECT_EQ(window_.boxes[0].text, c.text) << c.what;
            EXPECT_EQ(window_.boxes[0].icon, platform::MbIcon::Error) << c.what;
        }
    }
    EXPECT_EQ(RunTorrentDownload(nullptr, "u", "s", "o"), 1);
    EXPECT_TRUE(window_.TakeTimerCalls().empty());  // m_btState was 1 throughout
}

TEST_F(ScriptHostTest, ScriptFolderInTheWorkingDirectoryIsNeverImportedFrom) {
    TempDir cwd;
    cwd.Write("bt/korvel_planted.py", "import sys\nsys.korvel_planted = True\n");
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
    ASSERT_EQ(RunPython(ScriptModule()), "");
    EXPECT_EQ(RunTorrentDownload(&window_, "u", "s", "o"), 0);
    EXPECT_EQ(Eval("sys.path[0]"), "bt");
    EXPECT_EQ(RunPython("import korvel_planted").rfind("!ModuleNotFoundError", 0), 0u);
    EXPECT_EQ(Eval("hasattr(sys, 'korvel_planted')"), "False");
    ASSERT_EQ(::chdir(old), 0);
}

TEST_F(ScriptHostTest, StopTorrentEndsARunningDownload) {
    // A script that reports twice a second until told to stop (bounded).
    ASSERT_EQ(RunPython(ScriptModule("import time\n"
                                     "    for i in range(400):\n"
                                     "        if C_debug.display(0, {}): return 'stopped'\n"
                                     "        time.sleep(0.005)\n"
                                     "    raise RuntimeError('never stopped')")),
              "");
    window_.btState = 1;
    std::atomic<int> result{-1};
    std::thread worker([&] { result = RunTorrentDownload(&window_, "u", "s", "o"); });
    // The download holds the interpreter only while it runs Python code.
    for (int i = 0; i < 200 && window_.TakePosted().empty(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(Eval("len(script.calls)"), "1");
    {
        std::lock_guard lock(DownloadLock);
        StopTorrent = true;
    }
    worker.join();
    EXPECT_EQ(result, 0);
}

TEST_F(ScriptHostTest, ClosingTorrentRunsTheChosenPatchAgain) {
    TempDir game;
    DownloadDir = game.path() + "/download";
    TorrentOptions = "gAJdcQAu";
    ASSERT_EQ(RunPython(ScriptModule()), "");
    struct Case {
        std::string url;
        int code;
        std::string calls;
    } cases[] = {
        {"http://127.0.0.1:9/p/a103.dat", 0,
         "[('http://127.0.0.1:9/p/a103.dat.torrent', '" + DownloadDir + "/a103.dat', 'gAJdcQAu')]"},
        {"a103.dat", 1, "[]"},
        {"", 1, "[]"},
    };
    for (const auto& c : cases) {
        RecordingTorrentWindow window;
        ClosingTorrentUrl = c.url;
        StopTorrent = true;
        QuitRequested = true;
        RunPython("script.calls.clear()");
        EXPECT_EQ(ClosingTorrentThread(&window), c.code) << c.url;
        EXPECT_EQ(Eval("script.calls"), c.calls) << c.url;
        EXPECT_TRUE(window.TakeTimerCalls().empty()) << c.url;  // no watch in the closing phase
        if (c.code == 0) {
            EXPECT_TRUE(window.closingTorrent && window.btState == 1);
            EXPECT_FALSE(StopTorrent || QuitRequested);
            EXPECT_EQ(::access(DownloadDir.c_str(), F_OK), 0);
        } else if (!c.url.empty()) {
            EXPECT_EQ(window.messages, std::vector<std::string>{"url错误"});
            EXPECT_EQ(window.TakePosted(), (std::vector<Posted>{{1126, 0, "", 1}}));
            EXPECT_FALSE(window.closingTorrent);
        }
    }
    EXPECT_EQ(ClosingTorrentThread(nullptr), 1);
}

// Set-up and tear-down run in a process of their own each (the interpreter
// starts once per process).
class ScriptHostLifeTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ScriptHostLifeTest, MissingRuntimeIsABoxAtTheDownloadNotACrash) {
    EXPECT_EXIT(
        {
            bool ok = !InitScriptHost({"/nonexistent/korvel-stdlib"});
            ok = ok && !ScriptHostReady() && !ScriptHostError().empty();
            RecordingTorrentWindow window;
            ok = ok && RunTorrentDownload(&window, "u", "s", "o") == 1;
            ok = ok && window.boxes.size() == 1 && window.boxes[0].text == "初始化BT下载环境失败" &&
                 window.boxes[0].caption == "错误";
            ok = ok && window.TakeTimerCalls() == std::vector<std::string>{"set 1001"};
            ok = ok && FinalizeScriptHost();
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ScriptHostLifeTest, TearDownStopsTheRunningTorrentFirst) {
    EXPECT_EXIT(
        {
            bool ok = InitScriptHost();
            RunPython(
                ScriptModule("import time\n"
                             "    for i in range(2000):\n"
                             "        if C_debug.display(0, {}): return\n"
                             "        time.sleep(0.005)\n"
                             "    raise RuntimeError('never stopped')"));
            RecordingTorrentWindow window;
            window.btState = 1;
            SetTorrentMainWindow(&window);
            std::atomic<int> result{-1};
            std::thread worker([&] { result = RunTorrentDownload(&window, "u", "s", "o"); });
            for (int i = 0; i < 200 && window.TakePosted().empty(); ++i)
                std::this_thread::sleep_for(5ms);
            ok = ok && FinalizeScriptHost(5s) && !ScriptHostReady();
            worker.join();
            ok = ok && result == 0 && StopTorrent;
            // After tear-down a download fails without a box.
            ok = ok && RunTorrentDownload(&window, "u", "s", "o") == 1 && window.boxes.empty();
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
