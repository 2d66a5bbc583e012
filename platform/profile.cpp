#include "platform/profile.h"

#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/codepage.h"

namespace platform {
namespace {

// Blanks as the profile reader sees them; 0x1A is the old end-of-file mark
// that some editors still leave behind.
bool IsProfileSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsProfileSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsProfileSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Finds the value of key in the first section named section. Gives false when
// the section or key is missing or the key line carries no "=".
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view& value) {
    static constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        text.remove_prefix(kUtf8Bom.size());

    bool inSection = false;
    while (!text.empty()) {
        const std::size_t eol = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = Trim(line);
        if (line.empty())
            continue;

        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string_view::npos)
                continue;  // broken header: ignored
            if (inSection)
                return false;  // only the first section of that name counts
            inSection = EqualsNoCaseMb(line.substr(1, close - 1), section);
            continue;
        }
        if (!inSection)
            continue;

        const std::size_t eq = line.find('=');
        const std::string_view name = Trim(line.substr(0, eq));
        if (!EqualsNoCaseMb(name, key))
            continue;
        if (eq == std::string_view::npos)
            return false;
        value = Trim(line.substr(eq + 1));
        return true;
    }
    return false;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, std::size_t bufferSize,
                                    const std::string& path) {
    std::string result;
    std::string text;
    std::string_view value;
    if (ReadWholeFile(path, text) && FindValue(text, Trim(section), Trim(key), value)) {
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        result.assign(value);
    } else {
        std::string_view def = defaultValue;
        while (!def.empty() && def.back() == ' ')
            def.remove_suffix(1);
        result.assign(def);
    }
    if (bufferSize == 0)
        return {};
    if (result.size() > bufferSize - 1)
        result.resize(bufferSize - 1);
    return result;
}

}  // namespace platform
