#include "Ferrel/local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace ferrel {

namespace {

// A regular file whose mode bars us from writing it (owner not us, or
// no write bit) is made writable: by adding the owner's write bit when it
// is ours, otherwise by putting a copy of ours in its place through the
// folder. What cannot be changed this way (an immutable file, a folder we
// cannot write) is left for the torrent, which reports it once it has to
// write there; an intact file is only read. A link keeps its target.
void MakeWritable(const std::string& path, const struct stat& st, bool link) {
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || errno != EACCES)
        return;
    if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 &&
        ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0)
        return;
    if (link)
        return;
    const std::string copy = path + ".ferrel-copy";
    std::error_code ec;
    std::filesystem::remove(copy, ec);
    if (std::filesystem::copy_file(path, copy, ec) &&
        ::chmod(copy.c_str(), (st.st_mode & 0777) | S_IWUSR) == 0 &&
        ::rename(copy.c_str(), path.c_str()) == 0)
        return;
    std::filesystem::remove(copy, ec);
}

}  // namespace

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
        const bool link = S_ISLNK(st.st_mode);
        if (link && ::stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            continue;
        const char* kind = "OpenFile";
        int rc = 0;
        if (!S_ISREG(st.st_mode)) {
            rc = ::unlink(path.c_str());
        } else if (st.st_size == 0 && f.size > 0) {
            rc = ::unlink(path.c_str());
        } else {
            MakeWritable(path, st, link);
            if (st.st_size > f.size) {
                kind = "SetFileSize";
                rc = ::truncate(path.c_str(), f.size);
            }
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

bool HasRoom(const std::string& dir, std::uint64_t bytes) {
    struct statvfs fs;
    if (::statvfs(dir.c_str(), &fs) != 0)
        return true;  // unknown: let the write tell
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize >= bytes;
}

}  // namespace ferrel
