#include "korvel/update/md5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

namespace {

// One buffer, reused for every read, so memory use does not depend on the
// file size. 64 KiB rather than 4 KiB a read: with 4 KiB reads the system
// calls, not the digest, set the pace (about 15 % slower on a 1 GB file).
constexpr std::size_t kBlockSize = 64 * 1024;
constexpr unsigned kDigestSize = 16;

struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestCtx = std::unique_ptr<EVP_MD_CTX, CtxFree>;

// Other readers are welcome, writers are not: a file that some process has
// open for writing is refused. A read lease can only be taken while nobody
// has the file open for writing, so taking one and dropping it at once tells
// exactly that. Where leases are not available (a file of another owner, a
// file system without them) the file is read as it is.
bool OpenForWriting(int fd) {
    // Should a writer open the file in the moment the lease is held, its
    // break notice goes out as SIGURG, which is ignored unless handled.
    ::fcntl(fd, F_SETSIG, SIGURG);
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return errno == EAGAIN;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

// The file opened for reading, or -1 when it cannot be or some process has
// it open for writing.
int OpenToCheck(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && OpenForWriting(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string HexLower(const unsigned char* digest, unsigned size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (unsigned i = 0; i < size; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 0x0F]);
    }
    return text;
}

std::string ToLowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

ssize_t ReadBlock(int fd, unsigned char* buf) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, kBlockSize);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

}  // namespace

int CheckFileMd5(std::string path, std::string expectedHex) {
    const int fd = OpenToCheck(path);
    if (fd < 0)
        return 0;
    FdCloser closer{fd};
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kBlockSize);
    unsigned char* const block = buffer.get();
    ssize_t n = ReadBlock(fd, block);
    if (n <= 0)
        return 0;  // unreadable or empty

    DigestCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        return 0;
    while (n > 0) {
        if (EVP_DigestUpdate(ctx.get(), block, static_cast<std::size_t>(n)) != 1)
            return 0;
        n = ReadBlock(fd, block);
    }
    if (n < 0)
        return 0;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1 || size != kDigestSize)
        return 0;
    return HexLower(digest, size) == ToLowerAscii(std::move(expectedHex)) ? 1 : 0;
}

std::string Md5Hex(const void* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestSize = 0;
    if (EVP_Digest(data, size, digest, &digestSize, EVP_md5(), nullptr) != 1)
        return {};
    return HexLower(digest, digestSize);
}

Md5Stream::Md5Stream() {
    current_.reserve(kChunkSize);
    try {
        thread_ = std::thread(&Md5Stream::Hash, this);
    } catch (const std::exception&) {
        failed_ = true;
    }
}

Md5Stream::~Md5Stream() {
    Finish();
}

void Md5Stream::Add(const void* data, std::size_t size) {
    size_ += size;
    if (failed_)
        return;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const std::size_t take = std::min(size, kChunkSize - current_.size());
        current_.insert(current_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (current_.size() == kChunkSize)
            Hand(std::move(current_));
    }
}

void Md5Stream::Hand(Chunk chunk) {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [&] { return queue_.size() < kMaxQueued; });
    queue_.push_back(std::move(chunk));
    if (!spare_.empty()) {
        current_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        current_ = Chunk();
        current_.reserve(kChunkSize);
    }
    current_.clear();
    lock.unlock();
    ready_.notify_one();
}

void Md5Stream::Hash() {
    DigestCtx ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
        if (queue_.empty())
            break;
        Chunk chunk = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        drained_.notify_one();
        if (ok)
            ok = EVP_DigestUpdate(ctx.get(), chunk.data(), chunk.size()) == 1;
        lock.lock();
        chunk.clear();
        spare_.push_back(std::move(chunk));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (ok && EVP_DigestFinal_ex(ctx.get(), digest, &size) == 1 && size == kDigestSize)
        digest_ = HexLower(digest, size);
}

std::string Md5Stream::Finish() {
    if (finished_)
        return digest_;
    finished_ = true;
    if (failed_)
        return digest_;
    if (!current_.empty())
        Hand(std::move(current_));
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_one();
    thread_.join();
    return digest_;
}

int CheckWrittenFileMd5(const std::string& path, std::uint64_t size, const std::string& digestHex,
                        std::string expectedHex) {
    if (digestHex.empty())
        return CheckFileMd5(path, std::move(expectedHex));
    const int fd = OpenToCheck(path);
    if (fd < 0)
        return 0;
    FdCloser closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != size)
        return CheckFileMd5(path, std::move(expectedHex));
    if (size == 0)
        return 0;  // empty
    return digestHex == ToLowerAscii(std::move(expectedHex)) ? 1 : 0;
}
