// Writing the engine program out and starting it with its argument line and
// a fresh control channel.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "common/channel/interactive.h"

namespace vellum {

struct EngineLaunchParams {
    std::string seedUrl;        // address of the repair seed file
    std::string repairDir;      // the folder to repair
    std::string mode;           // engine mode; the tool always sets "repair"
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
    bool engineExited = false;  // that engine's process has ended
    int launchError = 0;        // why the last launch failed, 0 when it did not
    std::unique_ptr<IInteractive> channel;
};

LaunchState& CurrentLaunch();

// "Vespera下载器-" + string 109 + "_" + string 106 + ".exe" (each string
// empty when missing).
std::string EngineFileName();

// The tool's private folder, which the engine is written to:
// $XDG_RUNTIME_DIR when it is a folder of ours that no one else may write
// to, otherwise "vellum-<uid>" in $TMPDIR (or /tmp), created with mode 0700.
// False when that folder is not a real directory of ours closed to everyone
// else (a link, someone else's, or open to others).
bool EngineFolder(std::string& folder);

// Writes the program carried inside the tool to the engine file in the
// tool's private folder (path is set once the folder is known). False when
// no program is carried, that folder cannot be made safe, the file cannot be
// opened for writing (a link planted at its name; ETXTBSY while an engine
// started from it still runs) or the write falls short; errno tells why.
bool ExtractEngine(std::string& path);

// The engine's argument line from CurrentLaunch().params; false when the
// seed address has no "/" (args is left as it was).
bool BuildEngineArguments(std::string& args);

// Splits an argument line as the engine reads it: blanks separate
// arguments, double quotes group (and are removed).
std::vector<std::string> SplitArguments(const std::string& line);

// Resets the status and the key map, opens a new channel, and starts the
// engine with params and "-InteractivePort <port>". Shows the failure box
// itself ("启动下载器内核进程失败, 错误码: %d"); gives false then. A folder
// whose name holds a double quote cannot travel in the argument line: that
// launch fails with EINVAL.
//
// The engine gets /dev/null as standard input, output and error (it talks
// over the channel), none of our other open files, and our environment and
// working folder. It is never terminated; its exit is collected by a child
// watch on GLib's default main context, so finished engines leave no
// zombies behind.
bool LaunchEngine(const std::string& exePath, const EngineLaunchParams& params);

// Whether the engine of the last launch has gone without being asked to:
// its process has ended (as the child watch saw) or the channel it had
// connected has closed.
bool EngineGone();

// Kills the engine of the last launch (SIGKILL) unless it has ended
// already; for an engine that does not go when told to quit. Its exit is
// collected by the child watch as any other's. False when there was none to
// kill.
bool KillEngine();

}  // namespace vellum
