#include "Vellum/engine/launch.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "Vellum/engine/engine_program.h"
#include "Vellum/engine/engine_status.h"
#include "Vellum/res/strings.h"
#include "common/channel/network_interactive.h"
#include "common/channel/status_lines.h"
#include "platform/message_box.h"

extern char** environ;

namespace vellum {

namespace {

// Whether st is a directory of ours that nobody else may write to (mask:
// the permission bits others must not have).
bool OwnDirectory(const struct stat& st, mode_t mask) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & mask) == 0;
}

bool WriteAll(int fd, std::span<const unsigned char> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

void ShowLaunchFailure(int error) {
    char text[128];
    std::snprintf(text, sizeof text, "启动下载器内核进程失败, 错误码: %d", error);
    platform::MessageBoxSpec box;
    box.caption = "错误";
    box.text = text;
    box.icon = platform::MbIcon::Error;
    platform::ShowMessageBox(box);
}

// Starts path with argv[1..] = args, standard input, output and error on
// /dev/null and no other open file of ours. Gives 0 or the error number.
int SpawnEngine(const std::string& path, const std::vector<std::string>& args, pid_t& pid) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int rc = ::posix_spawn_file_actions_init(&actions);
    if (rc != 0)
        return rc;
    rc = ::posix_spawnattr_init(&attributes);
    if (rc != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    // Signals: nothing blocked, and the dispositions a window program may
    // have changed back to their defaults.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&defaults, s);
    rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0)
        rc = ::posix_spawnattr_setsigmask(&attributes, &none);
    if (rc == 0)
        rc = ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A process group of its own: Ctrl+C on the tool's terminal asks the
    // tool to cancel and must not reach the engine, which is told by "quit".
    if (rc == 0)
        rc = ::posix_spawnattr_setpgroup(&attributes, 0);
    if (rc == 0)
        rc = ::posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    if (rc == 0)
        rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
}

void EngineExited(GPid pid, gint /*status*/, gpointer /*data*/) {
    // Until this point the pid cannot have been given to another process.
    LaunchState& launch = CurrentLaunch();
    if (pid == launch.pid)
        launch.engineExited = true;
    g_spawn_close_pid(pid);
}

}  // namespace

LaunchState& CurrentLaunch() {
    static LaunchState state;
    return state;
}

std::string EngineFileName() {
    std::string game;
    std::string suffix;
    LoadResourceString(game, IDS_GAME_NAME);
    LoadResourceString(suffix, IDS_ENGINE_SUFFIX);
    return "Vespera下载器-" + game + "_" + suffix + ".exe";
}

bool EngineFolder(std::string& folder) {
    struct stat st {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 &&
        OwnDirectory(st, S_IWGRP | S_IWOTH)) {
        folder = runtime;
        return true;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const std::string own = base + "/vellum-" + std::to_string(::getuid());
    if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    // The folder may have been there before us: it must be a real directory
    // (not a link to one), ours, and closed to everyone else.
    if (::lstat(own.c_str(), &st) != 0)
        return false;
    if (!OwnDirectory(st, S_IRWXG | S_IRWXO)) {
        errno = EPERM;
        return false;
    }
    folder = own;
    return true;
}

bool ExtractEngine(std::string& path) {
    const std::span<const unsigned char> program = EngineProgram();
    if (program.empty()) {
        errno = ENOENT;
        return false;
    }
    std::string folder;
    if (!EngineFolder(folder))
        return false;
    path = folder + "/" + EngineFileName();
    // O_NOFOLLOW: a link planted under the fixed name is refused, not
    // followed. ETXTBSY: an engine started from the file still runs.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0)
        return false;
    struct stat st {};
    bool written = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // An existing file keeps its mode through O_CREAT; set it anew.
    written = written && ::fchmod(fd, 0700) == 0 && WriteAll(fd, program);
    const int saved = errno;
    if (::close(fd) != 0)
        return false;
    errno = saved;
    return written;
}

bool BuildEngineArguments(std::string& args) {
    EngineLaunchParams& params = CurrentLaunch().params;
    const std::size_t slash = params.seedUrl.rfind('/');
    if (slash == std::string::npos)
        return false;
    const std::string base = params.seedUrl.substr(0, slash);
    const std::string seedFile = params.seedUrl.substr(slash + 1);

    // Trailing separators go from the folder copy itself (the disk-space
    // test reads it). Only "/" separates here; a backslash is an ordinary
    // character of a Linux file name. The root "/" becomes "", as a drive
    // root "D:\" becomes "D:", and the engine, which appends the separator to
    // Dir, makes it "/" again.
    std::string& dir = params.repairDir;
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();

    std::string line = "-Dir \"" + dir + "\"";
    line += " -HttpUrl " + base;
    line += " -Torrent " + seedFile;
    line += " -Mode " + params.mode;
    line += " -HttpThread " + std::to_string(params.httpThreads);
    line += " -P2PUploadThread " + std::to_string(params.p2pUploadThreads);
    line += " -P2PUploadListSize " + std::to_string(params.p2pUploadListSize);
    line += " -DownloadLimit " + std::to_string(params.downloadLimit);
    line += " -UploadLimit " + std::to_string(params.uploadLimit);
    if (params.deleteDownloadInfo)
        line += " -DeleteDownloadInfo";
    args = line;
    return true;
}

std::vector<std::string> SplitArguments(const std::string& line) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument)
                arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.push_back(current);
    return arguments;
}

bool LaunchEngine(const std::string& exePath, const EngineLaunchParams& params) {
    LaunchState& launch = CurrentLaunch();
    ResetEngineStatus();
    launch.needFileName = true;
    launch.params = params;
    std::string args;
    BuildEngineArguments(args);  // without a seed address only the port goes

    launch.pid = -1;
    launch.engineExited = false;
    launch.launchError = 0;
    StatusKeyMap.clear();
    if (launch.channel)
        launch.channel->Stop();
    auto channel = std::make_unique<NetworkInteractive>(0);
    const bool listening = channel->Start();
    const int listenError = errno;
    const std::uint16_t port = channel->Port();
    launch.channel = std::move(channel);
    if (!listening) {
        launch.launchError = listenError != 0 ? listenError : EIO;
        ShowLaunchFailure(listenError);
        return false;
    }

    args += " -InteractivePort " + std::to_string(port);
    pid_t pid = -1;
    // The folder travels in double quotes, so a quote in its name would
    // split the line wrongly (on Windows no folder can have one); such a
    // folder is refused rather than handed to the engine mangled.
    const bool carried = launch.params.repairDir.find('"') == std::string::npos;
    const int error = carried ? SpawnEngine(exePath, SplitArguments(args), pid) : EINVAL;
    if (error != 0) {
        launch.launchError = error;
        ShowLaunchFailure(error);
        return false;
    }
    launch.pid = pid;
    // Collects the exit whenever it comes; the engine is never stopped here.
    g_child_watch_add(pid, EngineExited, nullptr);
    return true;
}

bool EngineGone() {
    const LaunchState& launch = CurrentLaunch();
    return launch.engineExited || (launch.channel && launch.channel->Closed());
}

bool KillEngine() {
    const LaunchState& launch = CurrentLaunch();
    if (launch.pid <= 0 || launch.engineExited)
        return false;
    return ::kill(launch.pid, SIGKILL) == 0;
}

}  // namespace vellum
