// The client's settings file update.ini (section "Setting", read only) and
// version numbers.
#pragma once

#include <cstdint>
#include <string>

// Keys of section "Setting" and their defaults.
namespace setting {
inline constexpr const char* kSection = "Setting";
inline constexpr const char* kVersion = "Version";
inline constexpr const char* kVersionDefault = "0.0.0";
inline constexpr const char* kUpdateUrl = "UpdateURLEX";  // default: string 108
inline constexpr const char* kReportUrl = "PATCHDOWNLOADINFO";
inline constexpr const char* kBtWaitTime = "BtWaitTime";
inline constexpr const char* kBtWaitTimeDefault = "30";
inline constexpr const char* kExpMd5Info = "ExpMd5Info";
inline constexpr const char* kExpDownloadType = "EXPDTYPE";
inline constexpr const char* kExpDownloadTypeDefault = "1";
}  // namespace setting

// Size of the buffer a setting is read into: values come back cut to 1023 bytes.
inline constexpr std::size_t kSettingBufferSize = 1024;

// Reads key from section "Setting" of GameDir + fileName ("update.ini" when
// fileName is empty). The file is read anew on every call; a missing file or
// key gives defaultValue.
std::string ReadSetting(const std::string& fileName, const std::string& key,
                        const std::string& defaultValue);

// Version number: major (mod 256) in bits 31-24, minor (mod 256) in bits
// 23-16, patch (mod 65536) in bits 15-0. 0 means no valid version.
constexpr std::uint32_t PackVersion(int major, int minor, int patch) {
    return (static_cast<std::uint32_t>(major & 0xFF) << 24) |
           (static_cast<std::uint32_t>(minor & 0xFF) << 16) |
           static_cast<std::uint32_t>(patch & 0xFFFF);
}

// A version text "%d.%d.%d" as a version number; 0 when it does not scan as
// three numbers.
std::uint32_t ParseVersionText(const std::string& text);

// The installed client version from setting "Version" (default "0.0.0").
std::uint32_t ReadClientVersion();

// Seconds the BitTorrent watch waits, from the text of setting BtWaitTime:
// only digits with at least one non-zero digit count, anything else is 30.
std::int32_t BtWaitSecondsFromText(const std::string& value);

// BtWaitSecondsFromText of ReadSetting("update.ini", "BtWaitTime", "30").
std::int32_t ReadBtWaitSeconds();
