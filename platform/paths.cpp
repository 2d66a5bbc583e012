#include "platform/paths.h"

#include <cstdlib>

namespace platform {

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp && *tmp) ? tmp : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

}  // namespace platform
