// Writing the engine program out and starting it with its argument line and
// a fresh control channel.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "Vellum/interactive/interactive.h"

namespace vellum {

struct EngineLaunchParams {
    std::string seedUrl;    // address of the repair seed file
    std::string repairDir;  // the folder to repair
    std::string mode;       // engine mode; the tool always sets "repair"
    int downloadLimit = 10000;  // KB/s
    int uploadLimit = 10000;    // KB/s
    int httpThreads = 6;
    int p2pUploadThreads = 6;
    int p2pUploadListSize = 12;
    bool deleteDownloadInfo = true;
};

// Written by every launch. The previous engine is not tracked further.
struct LaunchState {
    EngineLaunchParams params;  // repairDir loses its trailing separators
    bool needFileName = false;  // the engine has still to name the file
    pid_t pid = -1;             // the last engine started, -1 when none
    std::unique_ptr<IInteractive> channel;
};

LaunchState& CurrentLaunch();

// "Vespera下载器-" + string 109 + "_" + string 106 + ".exe" (each string
// empty when missing).
std::string EngineFileName();

// Writes the program carried inside the tool to the engine file in the
// tool's private folder. False when that folder cannot be made safe, the
// file cannot be opened for writing (for instance while an engine started
// from it still runs) or the write falls short.
bool ExtractEngine(std::string& path);

// The engine's argument line from CurrentLaunch().params; false when the
// seed address has no "/" (args is left as it was).
bool BuildEngineArguments(std::string& args);

// Splits an argument line as the engine reads it: blanks separate
// arguments, double quotes group (and are removed).
std::vector<std::string> SplitArguments(const std::string& line);

// Resets the status and the key map, opens a new channel, and starts the
// engine with params and "-InteractivePort <port>". Shows the failure box
// itself ("启动下载器内核进程失败, 错误码: %d"); gives false then.
bool LaunchEngine(const std::string& exePath, const EngineLaunchParams& params);

}  // namespace vellum
