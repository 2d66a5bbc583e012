// Python.h first: it sets feature macros the C library headers depend on.
#include "korvel/bt/c_debug.h"
//
#include "korvel/bt/script_host.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "korvel/bt/frozen_script.h"
#include "korvel/bt/torrent_window.h"
#include "korvel/update/run_state.h"

static_assert(PY_MAJOR_VERSION == frozen_script::kPythonMajor &&
                  PY_MINOR_VERSION == frozen_script::kPythonMinor,
              "the script's byte code was made by another interpreter version");

namespace {

// Modules of other platforms: importing one fails at once, whatever lies on
// the search path.
constexpr const char* kExcludedModules[] = {
    "dos", "dospath", "mac", "macpath", "macfs",         "MACFS",
    "nt",  "os2",     "ce",  "riscos",  "riscosenviron", "riscospath",
};

enum class HostState { NotStarted, Ready, Failed, Finalizing, Finalized };

struct Host {
    std::mutex mutex;
    std::condition_variable idle;
    HostState state = HostState::NotStarted;
    std::string error;
    int running = 0;                      // downloads inside the interpreter
    PyThreadState* mainThread = nullptr;  // saved when set-up released the lock
    std::vector<_frozen> frozen;          // the table the interpreter reads
};

// Never destroyed: download threads may still use it while the process ends.
Host& TheHost() {
    static Host* host = new Host;
    return *host;
}

void BuildFrozenTable(std::vector<_frozen>& table) {
    table.clear();
    for (const auto& m : frozen_script::kModules)
        table.push_back({m.name, m.code, m.size, 0, nullptr});
    for (const char* name : kExcludedModules)
        table.push_back({name, nullptr, 0, 0, nullptr});
    table.push_back({nullptr, nullptr, 0, 0, nullptr});
}

std::string StatusText(const PyStatus& status) {
    std::string text = status.func ? std::string(status.func) + ": " : std::string();
    text += status.err_msg ? status.err_msg : "failed";
    return text;
}

// Up to Py_InitializeFromConfig; the interpreter is running when it gives
// an empty text.
std::string StartInterpreter(const std::vector<std::string>& modulePaths) {
    if (PyImport_AppendInittab("C_debug", PyInit_C_debug) != 0)
        return "cannot register C_debug";

    // Texts cross as UTF-8 whatever the locale says.
    PyPreConfig preConfig;
    PyPreConfig_InitIsolatedConfig(&preConfig);
    preConfig.utf8_mode = 1;
#if defined(__SANITIZE_ADDRESS__)
    // Objects straight from malloc: the address sanitizer then sees every
    // one of them (its leak check cannot follow pointers kept in the
    // interpreter's own pools).
    preConfig.allocator = PYMEM_ALLOCATOR_MALLOC;
#endif
    PyStatus status = Py_PreInitialize(&preConfig);
    if (PyStatus_Exception(status))
        return StatusText(status);

    // Isolated: no PYTHON* variables, no user site folder, no site module;
    // the search path is exactly ours.
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    config.site_import = 0;
    config.optimization_level = 1;
    // The installed library has no optimised byte-code files; never write
    // them into system folders.
    config.write_bytecode = 0;
    status = PyConfig_SetBytesString(&config, &config.program_name, KORVEL_PYTHON_EXECUTABLE);
    for (const std::string& path : modulePaths) {
        if (PyStatus_Exception(status))
            break;
        wchar_t* wide = Py_DecodeLocale(path.c_str(), nullptr);
        if (!wide) {
            PyConfig_Clear(&config);
            return "cannot decode " + path;
        }
        status = PyWideStringList_Append(&config.module_search_paths, wide);
        PyMem_RawFree(wide);
    }
    config.module_search_paths_set = 1;
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    return PyStatus_Exception(status) ? StatusText(status) : std::string();
}

// After start: the script's byte code must suit this interpreter, and the
// three extension modules the downloads need must load.
std::string CheckInterpreter(Host& host) {
    std::string error;
    if (PyImport_GetMagicNumber() != frozen_script::kMagic) {
        // Unloadable code is worse than none: the script is left out, and
        // each download shows that it cannot load it.
        for (_frozen& entry : host.frozen) {
            if (entry.code) {
                entry.code = nullptr;
                entry.size = 0;
            }
        }
        error = "the script's byte code does not suit this interpreter";
    }
    for (const char* name : {"zlib", "_socket", "select"}) {
        PyObject* module = PyImport_ImportModule(name);
        if (!module) {
            PyErr_Clear();
            return "cannot import " + std::string(name);
        }
        Py_DECREF(module);
    }
    if (!error.empty())
        host.error = error;
    return {};
}

struct DecRef {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};
using Ref = std::unique_ptr<PyObject, DecRef>;

// Texts are bytes; bytes that are not UTF-8 travel as surrogate escapes, so
// that the script's file calls get exactly the bytes back.
PyObject* Text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

enum class Failure {
    None,
    Unavailable,   // the interpreter is not there
    NoSys,         // "sys" cannot be imported
    NoSysDict,     // its dictionary cannot be had
    NoPath,        // sys.path is missing or not a list
    NoScript,      // btdownloadlibrary cannot be imported
    NoScriptDict,  // its dictionary cannot be had
    NoArguments,   // the argument tuple cannot be made
    Silent,        // no download(), or it raised: no box
};

// Puts "bt" in front of sys.path. The folder is named relative to the
// working directory, which is not ours to trust: the entry is kept inert
// (no finder), so nothing is ever imported from there.
void InsertScriptFolder(PyObject* path) {
    Ref folder(PyUnicode_FromString("bt"));
    if (!folder || PyList_Insert(path, 0, folder.get()) != 0) {
        PyErr_Clear();
        return;
    }
    PyObject* cache = PySys_GetObject("path_importer_cache");  // borrowed
    if (!cache || !PyDict_Check(cache) || PyDict_SetItem(cache, folder.get(), Py_None) != 0)
        PyErr_Clear();
}

// The script's part of a download; the interpreter lock is held.
Failure RunScript(const std::string& url, const std::string& savePath, const std::string& option) {
    Ref sys(PyImport_ImportModule("sys"));
    if (!sys) {
        PyErr_Clear();
        return Failure::NoSys;
    }
    PyObject* sysDict = PyModule_GetDict(sys.get());  // borrowed
    if (!sysDict) {
        PyErr_Clear();
        return Failure::NoSysDict;
    }
    PyObject* path = PyDict_GetItemString(sysDict, "path");  // borrowed
    if (!path || !PyList_Check(path)) {
        PyErr_Clear();
        return Failure::NoPath;
    }
    InsertScriptFolder(path);

    Ref module(PyImport_ImportModule("btdownloadlibrary"));
    if (!module) {
        PyErr_Clear();
        return Failure::NoScript;
    }
    PyObject* moduleDict = PyModule_GetDict(module.get());  // borrowed
    if (!moduleDict) {
        PyErr_Clear();
        return Failure::NoScriptDict;
    }
    PyObject* entry = PyDict_GetItemString(moduleDict, "download");  // borrowed
    if (!entry || !PyCallable_Check(entry)) {
        PyErr_Clear();
        return Failure::Silent;
    }
    Ref download(Py_NewRef(entry));  // the script may rebind the name meanwhile

    Ref arguments(PyTuple_New(3));
    int index = 0;
    for (const std::string* s : {&url, &savePath, &option}) {
        PyObject* item = arguments ? Text(*s) : nullptr;
        if (!item) {
            PyErr_Clear();
            return Failure::NoArguments;
        }
        PyTuple_SET_ITEM(arguments.get(), index++, item);  // steals item
    }
    Ref result(PyObject_CallObject(download.get(), arguments.get()));
    if (!result) {
        PyErr_Clear();
        return Failure::Silent;
    }
    return Failure::None;
}

platform::MessageBoxSpec ErrorBox(const char* text) {
    platform::MessageBoxSpec box;
    box.caption = "错误";
    box.text = text;
    box.icon = platform::MbIcon::Error;
    return box;
}

void ShowFailure(TorrentWindow& window, Failure failure) {
    switch (failure) {
        case Failure::Unavailable:
            window.ShowBox(ErrorBox("初始化BT下载环境失败"));
            break;
        case Failure::NoSys:
            window.ShowMessage("下载启动出错");
            break;
        case Failure::NoSysDict:
            window.ShowBox(ErrorBox("获取系统模块信息失败"));
            break;
        case Failure::NoPath:
            window.ShowBox(ErrorBox("初始化模块路径失败"));
            break;
        case Failure::NoScript:
            window.ShowBox(ErrorBox("初始化下载模块downloadlibrary失败"));
            break;
        case Failure::NoScriptDict:
        case Failure::NoArguments:
            window.ShowMessage("下载启动失败");
            break;
        case Failure::None:
        case Failure::Silent:
            break;
    }
}

}  // namespace

std::vector<std::string> DefaultScriptModulePaths() {
    return {KORVEL_PYTHON_STDLIB, KORVEL_PYTHON_DYNLOAD, KORVEL_PYTHON_DIST_PACKAGES};
}

bool InitScriptHost(const std::vector<std::string>& modulePaths) {
    Host& host = TheHost();
    std::lock_guard lock(host.mutex);
    if (host.state != HostState::NotStarted)
        return host.state == HostState::Ready;
    host.state = HostState::Failed;
    if (Py_IsInitialized()) {
        host.error = "an interpreter is already running";
        return false;
    }
    BuildFrozenTable(host.frozen);
    PyImport_FrozenModules = host.frozen.data();
    if (std::string error = StartInterpreter(modulePaths); !error.empty()) {
        host.error = error;
        return false;
    }
    const std::string error = CheckInterpreter(host);
    // From here on each download takes the interpreter lock for itself.
    host.mainThread = PyEval_SaveThread();
    if (!error.empty()) {
        host.error = error;
        return false;
    }
    host.state = HostState::Ready;
    return true;
}

bool ScriptHostReady() {
    Host& host = TheHost();
    std::lock_guard lock(host.mutex);
    return host.state == HostState::Ready;
}

std::string ScriptHostError() {
    Host& host = TheHost();
    std::lock_guard lock(host.mutex);
    return host.error;
}

bool FinalizeScriptHost(std::chrono::milliseconds wait) {
    Host& host = TheHost();
    std::unique_lock lock(host.mutex);
    if (host.state == HostState::Finalized)
        return true;
    host.state = HostState::Finalizing;  // no new downloads
    if (!host.mainThread)
        return true;  // never started
    if (host.running > 0) {
        {
            std::lock_guard downloadLock(DownloadLock);
            StopTorrent = true;
        }
        host.idle.wait_for(lock, wait, [&] { return host.running == 0; });
        if (host.running > 0)
            return false;
    }
    PyEval_RestoreThread(host.mainThread);
    host.mainThread = nullptr;
    // What finalisation reports changes nothing: the process is ending.
    Py_FinalizeEx();
    host.state = HostState::Finalized;
    return true;
}

int RunTorrentDownload(TorrentWindow* window, const std::string& url, const std::string& savePath,
                       const std::string& option) {
    if (!window)
        return 1;
    if (window->BtState() == 0)
        window->SetBtWatchTimer();

    Host& host = TheHost();
    bool ready;
    Failure failure = Failure::Unavailable;
    {
        std::lock_guard lock(host.mutex);
        ready = host.state == HostState::Ready;
        if (ready)
            ++host.running;
        else if (host.state == HostState::Finalizing || host.state == HostState::Finalized)
            failure = Failure::Silent;  // the program is ending
    }
    if (ready) {
        const PyGILState_STATE gil = PyGILState_Ensure();
        failure = RunScript(url, savePath, option);
        PyGILState_Release(gil);
        {
            std::lock_guard lock(host.mutex);
            --host.running;
        }
        host.idle.notify_all();
    }
    // Boxes wait for the window's thread: shown without the interpreter lock.
    ShowFailure(*window, failure);
    return failure == Failure::None ? 0 : 1;
}
