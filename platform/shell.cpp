#include "platform/shell.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/process.h"

namespace platform {

bool ShellOpen(const std::string& target) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty())
            continue;
        const std::string candidate = dir + "/xdg-open";
        if (::access(candidate.c_str(), X_OK) == 0)
            return StartDetachedProcess(candidate, {target}, "");
    }
    return false;
}

}  // namespace platform
