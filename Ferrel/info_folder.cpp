#include "Ferrel/info_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace ferrel {

bool OpenInfoFolder(const std::string& dir, int& error) {
    // The client folder itself may not be there yet.
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + kInfoFolder;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        error = errno;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        error = ELOOP;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = EPERM;
        return false;
    }
    return true;
}

bool ReadPlainFile(const std::string& path, std::size_t maxBytes, std::string& data) {
    data.clear();
    // O_NONBLOCK: a pipe put in the file's place must not hold the engine.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::size_t>(st.st_size) <= maxBytes;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        ok = data.size() <= maxBytes;
    }
    ::close(fd);
    if (!ok)
        data.clear();
    return ok;
}

bool WriteAtomically(const std::string& path, const char* data, std::size_t size) {
    const std::string part = path + ".part";
    ::unlink(part.c_str());
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(part.c_str(), path.c_str()) != 0) {
        ::unlink(part.c_str());
        return false;
    }
    return true;
}

std::string FileStamps(const std::string& dir, const SeedLayout& layout) {
    std::string stamps;
    for (const SeedFile& f : layout.files) {
        if (f.pad)
            continue;
        struct stat st;
        if (::stat((dir + f.path).c_str(), &st) != 0) {
            stamps += "-\n";
            continue;
        }
        char line[96];
        std::snprintf(line, sizeof line, "%lld %lld.%09ld\n", static_cast<long long>(st.st_size),
                      static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
        stamps += line;
    }
    return stamps;
}

}  // namespace ferrel
