// What the engine's source files share.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <libtorrent/error_code.hpp>
#include <libtorrent/operations.hpp>

namespace ferrel {

// The engine's loop turns this often.
inline constexpr auto kTick = std::chrono::milliseconds(50);
// The torrent's status is asked for this often; the answer comes as an alert.
inline constexpr auto kStatusEvery = std::chrono::milliseconds(200);
// Resume data is written this often while the torrent runs.
inline constexpr auto kResumeEvery = std::chrono::seconds(30);
// The resume data's file in the info folder, and the stamps of the files it
// speaks for.
inline constexpr const char* kResumeFile = "resume.dat";
inline constexpr const char* kStampsFile = "files.dat";
// A failed start step (the session, the seed's digest, the seed, its
// analysis) is tried again after a pause that doubles from the first to the
// last.
inline constexpr auto kFirstStartRetry = std::chrono::seconds(5);
inline constexpr auto kLastStartRetry = std::chrono::minutes(2);
// After "quit" the engine ends within this time even if libtorrent does not.
inline constexpr auto kQuitDeadline = std::chrono::seconds(8);
// Commands read per tick, and of them answered; the rest are only looked at
// for "quit".
inline constexpr int kLinesPerTick = 65536;
inline constexpr int kAnswersPerTick = 8;

// part of whole in percent, within 0 to 100; 100 for nothing of nothing.
double PercentOf(std::uint64_t part, std::uint64_t whole);

// How the tool is told of a failed file operation.
struct FileErrorReport {
    const char* kind;  // "WriteFile", "OpenFile" or "SetFileSize"
    bool keepsState;   // a full disk: the download state stays, so that
                       // the tool shows its disk-space warning
};
FileErrorReport ClassifyFileError(lt::operation_t op, const lt::error_code& ec);

// Ends the process when it is still running after limit, unless the
// watchdog is destroyed first: libtorrent's threads may not end on request.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::milliseconds limit);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace ferrel
