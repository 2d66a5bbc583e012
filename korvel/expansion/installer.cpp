#include "korvel/expansion/installer.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "korvel/expansion/expansion_window.h"
#include "korvel/res/strings.h"
#include "platform/message_box.h"
#include "platform/system_version.h"

extern char** environ;

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A downloaded file carries no execute bit.
bool MakeOwnerExecutable(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (status.st_mode & S_IXUSR)
        return true;
    return ::chmod(path.c_str(), (status.st_mode & 07777) | S_IXUSR) == 0;
}

// A file still open for writing somewhere cannot be executed (ETXTBSY);
// a download engine may take a moment to let go of it.
constexpr int kBusyRetries = 50;
constexpr auto kBusyPause = std::chrono::milliseconds(100);

}  // namespace

std::string Win9xReminderText(const std::string& installerPath) {
    std::string shown = installerPath;
    ReplaceAll(shown, "\\\\", "\\");
    ReplaceAll(shown, "//", "\\");
    ReplaceAll(shown, "/", "\\");
    const std::string pattern = res::LoadString(res::IDS_WIN9X_REMINDER);
    char text[1024];
    std::snprintf(text, sizeof text, pattern.c_str(), shown.c_str());
    return text;
}

bool StartAndWaitForInstaller(const std::string& workDir, const std::string& installerPath) {
    if (!MakeOwnerExecutable(installerPath))
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    // We ignore SIGPIPE (sockets); the installer starts with the default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char> program(installerPath.begin(), installerPath.end());
    program.push_back('\0');
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int rc = 0;
    for (int attempt = 0;; ++attempt) {
        rc = ::posix_spawn(&pid, installerPath.c_str(), &actions, &attributes, argv, environ);
        if (rc != ETXTBSY || attempt == kBusyRetries)
            break;
        std::this_thread::sleep_for(kBusyPause);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool RunInstaller(ExpansionWindow& window, const std::string& workDir,
                  const std::string& installerPath, const std::string& shapeFilePath) {
    if (platform::IsWindows9x()) {
        platform::MessageBoxSpec box;
        box.text = Win9xReminderText(installerPath);
        box.caption = "更新提醒";
        platform::ShowMessageBox(box);
    }
    window.SetStatusLine("正在运行资料片安装程序, 请稍候...");
    if (!window.WaitWithoutActing([&] { return StartAndWaitForInstaller(workDir, installerPath); }))
        return false;
    struct stat status;
    return ::stat(shapeFilePath.c_str(), &status) == 0;
}
