#include "korvel/update/update_list.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "korvel/update/settings.h"
#include "platform/codepage.h"

namespace {

constexpr int kGroupWords = 6;

}  // namespace

void ParseUpdateList(std::uint32_t installed, const std::string& text,
                     std::vector<PatchRecord>& records, std::int32_t& mode, std::int32_t& seconds,
                     std::string& options) {
    records.clear();
    options.clear();
    seconds = 0;
    mode = kClosingTorrentNone;

    std::istringstream in(text);
    while (in.good()) {
        // Fresh words for every group: a failed extraction leaves its word empty.
        std::string words[kGroupWords];
        for (auto& word : words)
            in >> word;

        int major = 0, minor = 0, patch = 0;
        if (std::sscanf(words[0].c_str(), "%d.%d.%d", &major, &minor, &patch) == 3) {
            const std::uint32_t version = PackVersion(major, minor, patch);
            if (version > installed) {
                PatchRecord record;
                record.version = version;
                record.url = words[1];
                record.md5 = words[3];
                record.httpUrl = words[2];
                record.versionText = words[0];
                record.method = words[5];
                record.size = words[4];
                records.push_back(std::move(record));
            }
        } else if (words[0].starts_with("##") || words[0].starts_with("#!")) {
            seconds = std::atoi(words[1].c_str());
            std::string optionWord;
            in >> optionWord;
            options = optionWord;
            if (words[0].size() > 2 && words[0][2] >= '0' && words[0][2] <= '2')
                mode = words[0][2] - '0';
        }
    }
}

std::optional<std::size_t> ChooseClosingTorrent(std::int32_t mode, std::size_t count,
                                                int randomValue) {
    if (count < 2)
        return std::nullopt;
    switch (mode) {
        case kClosingTorrentFirst:
            return 0;
        case kClosingTorrentRandom: {
            const std::size_t r = static_cast<unsigned>(randomValue) % count;
            if (r < count - 1)
                return r;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::string PatchFileName(const std::string& url) {
    const std::size_t slash = platform::FindLastCharMb(url, '/');
    if (slash == std::string::npos)
        return {};
    return url.substr(slash + 1);
}
