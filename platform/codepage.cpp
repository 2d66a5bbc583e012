#include "platform/codepage.h"

namespace platform {

std::size_t FindCharMb(std::string_view s, char ch, std::size_t from) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (IsGbkLeadByte(c) && i + 1 < s.size()) {
            i += 2;
            continue;
        }
        if (i >= from && s[i] == ch)
            return i;
        ++i;
    }
    return std::string_view::npos;
}

std::size_t FindLastCharMb(std::string_view s, char ch) {
    std::size_t found = std::string_view::npos;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (IsGbkLeadByte(c) && i + 1 < s.size()) {
            i += 2;
            continue;
        }
        if (s[i] == ch)
            found = i;
        ++i;
    }
    return found;
}

namespace {
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool EqualsNoCaseMb(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto c = static_cast<unsigned char>(a[i]);
        if (IsGbkLeadByte(c) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
            ++i;
            continue;
        }
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

}  // namespace platform
