#include "Vellum/engine/poll.h"

#include <sys/statvfs.h>

#include <charconv>
#include <cstdlib>

#include "Vellum/engine/launch.h"

namespace vellum {

namespace {

// A tick takes at most this many reply lines (an engine sends about a dozen
// a second); the rest wait for the next tick, so no flood of lines can hold
// the window thread.
constexpr std::size_t kMaxLinesPerTick = 1000;

// The leading number of a value, as the engine writes it; false when the
// value does not start with one.
template <typename T>
bool ReadNumber(const std::string& text, T& out) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data())
        return false;
    out = value;
    return true;
}

// Unsigned fields do not take a sign: "-1" would wrap around.
bool ReadCount(const std::string& text, std::uint64_t& out) {
    return !text.empty() && text.front() != '-' && ReadNumber(text, out);
}

void ApplyError(const std::string& value, EngineStatus& status) {
    if (value == "WriteFile")
        status.errorKind =
            DiskSpaceSuffices(status) ? ENGINE_ERROR_WRITE_FILE : ENGINE_ERROR_DISK_FULL;
    else if (value == "OpenFile")
        status.errorKind = ENGINE_ERROR_OPEN_FILE;
    else if (value == "SetFileSize")
        status.errorKind = ENGINE_ERROR_SET_FILE_SIZE;
    else if (value == "ReadSeed")
        status.errorKind = ENGINE_ERROR_READ_SEED;
    else if (value == "DownloadTorrent")
        status.errorKind = ENGINE_ERROR_DOWNLOAD_TORRENT;
    else if (value == "DownloadSeed")
        status.errorKind = ENGINE_ERROR_DOWNLOAD_SEED;
}

}  // namespace

void ApplyStatusKeys(const StatusMap& map, EngineStatus& status) {
    for (const auto& [key, value] : map) {
        if (key == "P2PState")
            ReadNumber(value, status.state);
        else if (key == "DownloadBandWidth")
            ReadNumber(value, status.downloadRate);
        else if (key == "UploadBandWidth")
            ReadNumber(value, status.uploadRate);
        else if (key == "VerifyPercentage")
            ReadNumber(value, status.verifyFraction);
        else if (key == "Percentage")
            ReadNumber(value, status.percent);
        else if (key == "TotalByte")
            ReadCount(value, status.totalBytes);
        else if (key == "IncompleteByte")
            ReadCount(value, status.incompleteBytes);
        else if (key == "FileName") {
            if (value != ":") {
                status.fileName = value;
                CurrentLaunch().needFileName = false;
            }
        } else if (key == "Error")
            ApplyError(value, status);
        else if (key == "ErrorFile")
            status.errorFile = value;
    }
}

bool DiskSpaceSuffices(const EngineStatus& status) {
    const std::string& dir = CurrentLaunch().params.repairDir;
    struct statvfs fs {};
    // The root folder's copy has lost its only separator.
    if (::statvfs(dir.empty() ? "/" : dir.c_str(), &fs) != 0)
        return true;
    const std::uint64_t available =
        static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_frsize);
    return available >= status.incompleteBytes;
}

void PollEngine(EngineStatus& into) {
    LaunchState& launch = CurrentLaunch();
    if (g_engineStatus.errorKind == ENGINE_ERROR_DISK_FULL && DiskSpaceSuffices())
        g_engineStatus.errorKind = ENGINE_ERROR_NONE;
    IInteractive* channel = launch.channel.get();
    SendCommand(channel, "stat");
    SendGet(channel, "tb");
    if (launch.needFileName)
        SendGet(channel, "qf 0");
    DrainReplies(channel, StatusKeyMap, kMaxLinesPerTick);
    ApplyStatusKeys();
    into = g_engineStatus;
}

}  // namespace vellum
