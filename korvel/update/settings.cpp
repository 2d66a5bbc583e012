#include "korvel/update/settings.h"

#include <cstdio>
#include <limits>

#include "korvel/res/strings.h"
#include "korvel/update/run_state.h"
#include "platform/profile.h"

std::string ReadSetting(const std::string& fileName, const std::string& key,
                        const std::string& defaultValue) {
    const std::string file = fileName.empty() ? res::LoadString(res::IDS_SETTINGS_FILE) : fileName;
    return platform::GetPrivateProfileString(setting::kSection, key, defaultValue,
                                             kSettingBufferSize, GameDir + file);
}

std::uint32_t ParseVersionText(const std::string& text) {
    int major = 0, minor = 0, patch = 0;
    if (std::sscanf(text.c_str(), "%d.%d.%d", &major, &minor, &patch) != 3)
        return 0;
    return PackVersion(major, minor, patch);
}

std::uint32_t ReadClientVersion() {
    return ParseVersionText(ReadSetting("", setting::kVersion, setting::kVersionDefault));
}

std::int32_t BtWaitSecondsFromText(const std::string& value) {
    constexpr std::int32_t kDefault = 30;
    std::size_t firstNonZero = std::string::npos;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9')
            return kDefault;
        if (value[i] != '0' && firstNonZero == std::string::npos)
            firstNonZero = i;
    }
    if (firstNonZero == std::string::npos)
        return kDefault;

    // A number too large for the counter waits as long as it can.
    std::int64_t seconds = 0;
    for (std::size_t i = firstNonZero; i < value.size(); ++i) {
        seconds = seconds * 10 + (value[i] - '0');
        if (seconds > std::numeric_limits<std::int32_t>::max())
            return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(seconds);
}

std::int32_t ReadBtWaitSeconds() {
    return BtWaitSecondsFromText(
        ReadSetting("update.ini", setting::kBtWaitTime, setting::kBtWaitTimeDefault));
}
