#include "korvel/bt/c_debug.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "korvel/bt/script_host.h"
#include "korvel/bt/torrent_window.h"
#include "korvel/update/run_state.h"

namespace {

std::atomic<TorrentWindow*> g_mainWindow{nullptr};
std::atomic<bool> g_expansionMode{false};

// A number of the statistics dictionary; missing, unconvertible or
// non-finite values count as 0.
double NumberItem(PyObject* statistics, const char* key) {
    PyObject* item = PyDict_GetItemString(statistics, key);  // borrowed
    if (!item)
        return 0;
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return std::isfinite(value) ? value : 0;
}

std::string Format(const char* pattern, auto... values) {
    const int n = std::snprintf(nullptr, 0, pattern, values...);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, values...);
    return text;
}

// output(text): the script's printed output; discarded.
PyObject* Output(PyObject*, PyObject* args) {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s", &text))
        return nullptr;
    Py_RETURN_NONE;
}

std::atomic<std::uint64_t> g_finishedTransfers{0};

// finish(): one transfer is complete.
PyObject* Finish(PyObject*, PyObject* args) {
    if (!PyArg_ParseTuple(args, ""))
        return nullptr;
    ++g_finishedTransfers;
    TorrentWindow* window = g_mainWindow;
    if (g_expansionMode) {
        if (window)
            window->PostExpansionDone();
        Py_RETURN_NONE;
    }
    bool allDone;
    {
        std::lock_guard lock(DownloadLock);
        // More files follow: stop this torrent so that the worker moves on.
        // The last one keeps seeding until the closing phase stops it.
        if (PendingDownloads >= 2)
            StopTorrent = true;
        if (PendingDownloads >= 1)
            --PendingDownloads;
        allDone = PendingDownloads == 0;
    }
    if (allDone && window)
        window->PostDownloadsDone();
    Py_RETURN_NONE;
}

// error(text): a status line.
PyObject* Error(PyObject*, PyObject* args) {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s", &text))
        return nullptr;
    if (TorrentWindow* window = g_mainWindow)
        window->PostDownloadStatus(text);
    Py_RETURN_NONE;
}

// display(done, statistics): progress; answers whether to stop.
PyObject* Display(PyObject*, PyObject* args) {
    int done = 0;
    PyObject* statistics = nullptr;
    if (!PyArg_ParseTuple(args, "iO!", &done, &PyDict_Type, &statistics))
        return nullptr;

    double percent = NumberItem(statistics, "fractionDone") * 100;
    // The window's bars take 0 to 100.
    percent = std::fmin(std::fmax(percent, 0.0), 100.0);
    PyObject* timeItem = PyDict_GetItemString(statistics, "timeEst");  // borrowed
    const double timeEst = timeItem && PyFloat_Check(timeItem) ? PyFloat_AS_DOUBLE(timeItem) : -1;
    const double downRate = NumberItem(statistics, "downRate");
    const double upRate = NumberItem(statistics, "upRate");

    const std::string text =
        done ? Format("下: %.2fkB/s 上: %.2fkB/s 已完成 (100%%)", downRate / 1024, upRate / 1024)
             : Format("下: %.2fkB/s 上: %.2fkB/s 估计剩余时间: %s (%.2f%%)", downRate / 1024,
                      upRate / 1024, FormatTimeLeft(timeEst).c_str(), percent);

    if (TorrentWindow* window = g_mainWindow) {
        // The first real transfer (1 byte per second or more, either way)
        // ends the no-response watch.
        const bool moving = std::trunc(downRate) != 0 || std::trunc(upRate) != 0;
        if (moving && window->BtState() == 0) {
            window->SetBtState(1);
            // Killing the timer waits for the window's thread, which must
            // not wait for this thread's interpreter lock meanwhile.
            PyThreadState* state = PyEval_SaveThread();
            window->KillBtWatchTimer();
            PyEval_RestoreThread(state);
        }
        window->PostDownloadProgress(percent, text);
    }

    bool stop;
    {
        std::lock_guard lock(DownloadLock);
        stop = StopTorrent;
    }
    return PyBool_FromLong(stop);
}

// active(total): the torrent's size in bytes.
PyObject* Active(PyObject*, PyObject* args) {
    long long total = 0;
    if (!PyArg_ParseTuple(args, "L", &total))
        return nullptr;
    if (TorrentWindow* window = g_mainWindow)
        window->PostTotalSize(total);
    Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    {"output", Output, METH_VARARGS, nullptr}, {"finish", Finish, METH_VARARGS, nullptr},
    {"error", Error, METH_VARARGS, nullptr},   {"display", Display, METH_VARARGS, nullptr},
    {"active", Active, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "C_debug", nullptr, -1, g_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* PyInit_C_debug() {
    return PyModule_Create(&g_module);
}

std::uint64_t FinishedTransfers() {
    return g_finishedTransfers;
}

void SetTorrentMainWindow(TorrentWindow* window) {
    g_mainWindow = window;
}

void SetTorrentExpansionMode(bool expansionMode) {
    g_expansionMode = expansionMode;
}

std::string FormatTimeLeft(double seconds) {
    // Beyond 2^63 seconds (and NaN) the whole seconds do not fit a 64-bit
    // count; those are far past the limit of a million hours anyway.
    if (!(seconds >= 0) || seconds >= 9.2e18)
        return "不确定";
    if (seconds == 0)
        return "完成";
    const auto s = static_cast<std::int64_t>(seconds);
    const std::int64_t h = s / 3600, m = s % 3600 / 60, sec = s % 60;
    if (h > 1000000)
        return "不确定";
    if (h > 0)
        return Format("%d:%02d:%02d", static_cast<int>(h), static_cast<int>(m),
                      static_cast<int>(sec));
    return Format("%d:%02d", static_cast<int>(m), static_cast<int>(sec));
}
