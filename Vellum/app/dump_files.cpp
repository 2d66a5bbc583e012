#include "Vellum/app/dump_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace vellum {

void CleanDumpFiles(const char* folder) {
    // Deleting relative to the folder's descriptor needs no change of the
    // current directory, which other threads may rely on.
    const int dirFd = ::open(folder ? folder : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    constexpr const char* kSuffix = ".dmp";
    constexpr std::size_t kSuffixLength = 4;
    while (const dirent* entry = ::readdir(dir)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (length <= kSuffixLength ||
            std::memcmp(entry->d_name + length - kSuffixLength, kSuffix, kSuffixLength) != 0)
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace vellum
