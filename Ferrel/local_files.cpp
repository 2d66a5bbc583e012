#include "Ferrel/local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ferrel {

bool PrepareLocalFiles(const std::string& dir, const SeedLayout& layout,
                       LocalFileProblem& problem) {
    for (const SeedFile& f : layout.files) {
        if (f.pad)
            continue;
        const std::string path = dir + f.path;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;  // missing: the torrent makes it
        // A link inside the folder (the folder check saw where it leads)
        // stands for its target; a dangling one is written through.
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            continue;
        const char* kind = "OpenFile";
        int rc = 0;
        if (!S_ISREG(st.st_mode)) {
            rc = ::unlink(path.c_str());
        } else if (st.st_size == 0 && f.size > 0) {
            rc = ::unlink(path.c_str());
        } else if (st.st_size > f.size) {
            kind = "SetFileSize";
            rc = ::truncate(path.c_str(), f.size);
        }
        if (rc != 0) {
            problem = {path, errno, kind};
            return false;
        }
    }
    return true;
}

bool FileWritable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

}  // namespace ferrel
