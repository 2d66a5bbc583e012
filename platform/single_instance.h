// A machine-wide "this program is running" mark.
#pragma once

#include <string>

namespace platform {

// An exclusive advisory lock (flock) on a lock file named after the mark.
// The lock is taken atomically and dies with the process; it is not passed
// on to programs this process starts.
class SingleInstanceMark {
  public:
    enum class Result { Acquired, HeldElsewhere, Unavailable };

    SingleInstanceMark() = default;
    ~SingleInstanceMark();
    SingleInstanceMark(const SingleInstanceMark&) = delete;
    SingleInstanceMark& operator=(const SingleInstanceMark&) = delete;

    // Tries to take the mark. Unavailable means the lock file could not be
    // opened at all (the caller decides whether to run unguarded).
    Result Acquire(const std::string& name);
    // Releases the mark if held.
    void Release();
    bool Held() const { return fd_ >= 0; }

    // Where the lock file of a mark lives: $XDG_RUNTIME_DIR/NAME.lock, or
    // TMPDIR (default /tmp)/NAME-UID.lock when XDG_RUNTIME_DIR is unset.
    static std::string LockPath(const std::string& name);

  private:
    int fd_ = -1;
};

}  // namespace platform
