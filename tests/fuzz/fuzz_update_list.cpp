// Parses arbitrary text as an update list and checks what any caller relies
// on: only newer versions come back, each rebuilt from its own word.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "korvel/update/settings.h"
#include "korvel/update/update_list.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool HasBlank(const std::string& word) {
    for (char c : word)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first four bytes choose the installed version.
    std::uint32_t installed = 0;
    if (size >= 4) {
        installed = static_cast<std::uint32_t>(data[0]) |
                    (static_cast<std::uint32_t>(data[1]) << 8) |
                    (static_cast<std::uint32_t>(data[2]) << 16) |
                    (static_cast<std::uint32_t>(data[3]) << 24);
        data += 4;
        size -= 4;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<PatchRecord> records(2);
    std::int32_t mode = 7, seconds = 7;
    std::string options = "stale";
    ParseUpdateList(installed, text, records, mode, seconds, options);

    Require(mode >= 0 && mode <= 2);
    Require(!HasBlank(options));
    for (const PatchRecord& r : records) {
        Require(r.version > installed);
        int a = 0, b = 0, c = 0;
        Require(std::sscanf(r.versionText.c_str(), "%d.%d.%d", &a, &b, &c) == 3);
        Require(PackVersion(a, b, c) == r.version);
        Require(!r.damaged);
        for (const std::string* w : {&r.url, &r.md5, &r.httpUrl, &r.method, &r.size})
            Require(!HasBlank(*w) && w->size() <= text.size());
        const std::string name = PatchFileName(r.url);
        Require(name.size() <= r.url.size() && r.url.ends_with(name));
    }
    for (int random : {0, 1, 2, 12345, 2147483647}) {
        const auto chosen = ChooseClosingTorrent(mode, records.size(), random);
        if (chosen)
            Require(records.size() >= 2 && *chosen + 1 < records.size());
    }
    return 0;
}
