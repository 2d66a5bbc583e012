// MD5 digests of files on disk, checked against a 32-digit hexadecimal text.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// 1 when the MD5 digest of the file at path, written as 32 hexadecimal
// digits, equals expectedHex with letter case ignored; 0 in every other case:
// a missing or unreadable file, a file another process holds open for
// writing, an empty file, or an expected text with any other character (a
// trailing blank or line end included).
int CheckFileMd5(std::string path, std::string expectedHex);

// The lower-case digest text of the bytes, for tools and tests.
std::string Md5Hex(const void* data, std::size_t size);

// An MD5 digest taken on a thread of its own over bytes handed over in
// order, so that a transfer writing them out does not wait for the hash
// while the hash keeps up. Bytes are gathered in chunks; at most kMaxQueued
// chunks wait for the hash before Add does.
class Md5Stream {
  public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    void Add(const void* data, std::size_t size);
    // Waits for the hash of everything added; the lower-case digest text, or
    // "" when no digest could be taken (no thread, a library failure).
    std::string Finish();
    std::uint64_t size() const { return size_; }

    static constexpr std::size_t kChunkSize = 1u << 20;
    static constexpr std::size_t kMaxQueued = 32;

  private:
    using Chunk = std::vector<unsigned char>;
    void Hash();
    void Hand(Chunk chunk);

    std::mutex mutex_;
    std::condition_variable ready_, drained_;
    std::deque<Chunk> queue_;
    std::vector<Chunk> spare_;
    Chunk current_;
    bool closed_ = false;
    bool failed_ = false;
    std::string digest_;
    std::uint64_t size_ = 0;
    std::thread thread_;
    bool finished_ = false;
};

// CheckFileMd5 for a file just written whose bytes have already been hashed
// (digestHex over size bytes): the file is opened and checked the same way
// (missing, held open for writing by another process, empty) but not read
// again. A file whose length is no longer size, or an empty digestHex, is
// read after all.
int CheckWrittenFileMd5(const std::string& path, std::uint64_t size, const std::string& digestHex,
                        std::string expectedHex);
