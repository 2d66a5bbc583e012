#include "platform/codepage.h"

namespace platform {

namespace {

// Walks the single-byte characters of s (double-byte characters are stepped
// over whole) until stop(position) gives true; gives that position or npos.
template <class Stop>
std::size_t WalkSingleBytes(std::string_view s, Stop stop) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (IsGbkLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) {
            i += 2;
            continue;
        }
        if (stop(i))
            return i;
        ++i;
    }
    return std::string_view::npos;
}

}  // namespace

std::size_t FindCharMb(std::string_view s, char ch, std::size_t from) {
    return WalkSingleBytes(s, [&](std::size_t i) { return i >= from && s[i] == ch; });
}

std::size_t FindLastCharMb(std::string_view s, char ch) {
    std::size_t found = std::string_view::npos;
    WalkSingleBytes(s, [&](std::size_t i) {
        if (s[i] == ch)
            found = i;
        return false;
    });
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
