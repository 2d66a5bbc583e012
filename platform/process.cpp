#include "platform/process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool StartDetachedProcess(const std::string& path, const std::vector<std::string>& args,
                          const std::string& workDir) {
    // Everything the children need is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int report[2];  // the grandchild writes its errno here when exec fails
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        ::close(report[0]);
        int err = 0;
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
            err = errno;
        } else {
            // Keep 0-2 and the report pipe (close-on-exec) only.
            const auto keep = static_cast<unsigned>(report[1]);
            if (keep > 3)
                ::close_range(3, keep - 1, 0);
            ::close_range(keep + 1, ~0U, 0);
            ::execv(argv[0], argv.data());
            err = errno;
        }
        [[maybe_unused]] const ssize_t w = ::write(report[1], &err, sizeof err);
        ::_exit(127);
    }

    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    // Nothing read: exec succeeded and closed the pipe.
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

}  // namespace platform
