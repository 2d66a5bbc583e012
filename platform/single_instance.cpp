#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

SingleInstanceMark::~SingleInstanceMark() {
    Release();
}

std::string SingleInstanceMark::LockPath(const std::string& name) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir && *runtimeDir)
        return std::string(runtimeDir) + "/" + name + ".lock";
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = (tmp && *tmp) ? tmp : "/tmp";
    return dir + "/" + name + "-" + std::to_string(::getuid()) + ".lock";
}

SingleInstanceMark::Result SingleInstanceMark::Acquire(const std::string& name) {
    Release();
    // O_NOFOLLOW: in a shared temp folder the name must not be redirected
    // through a planted symbolic link. O_CLOEXEC: the game we start later
    // must not keep the mark alive after we end.
    const int fd = ::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return Result::Unavailable;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = (errno == EWOULDBLOCK);
        ::close(fd);
        return held ? Result::HeldElsewhere : Result::Unavailable;
    }
    fd_ = fd;
    return Result::Acquired;
}

void SingleInstanceMark::Release() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the only descriptor drops the lock
        fd_ = -1;
    }
}

}  // namespace platform
