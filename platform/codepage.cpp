#include "platform/codepage.h"

#include <iconv.h>

#include <cstdio>
#include <utility>
#include <vector>

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

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    }
    return length;
}

// One GBK double-byte character as UTF-8; empty when it is none.
class GbkDecoder {
  public:
    ~GbkDecoder() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            ::iconv_close(cd_);
    }
    std::string Pair(char lead, char trail) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            cd_ = ::iconv_open("UTF-8", "GBK");
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            return {};
        char in[2] = {lead, trail};
        char out[8];
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = 2, outLeft = sizeof out;
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (::iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
            inLeft != 0)
            return {};
        return std::string(out, static_cast<std::size_t>(outPtr - out));
    }

  private:
    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

}  // namespace

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = Utf8SequenceLength(text, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::string DisplayText(std::string_view bytes) {
    if (IsUtf8(bytes))
        return std::string(bytes);
    // A GBK character can look like a two-byte UTF-8 sequence ("戏" is
    // CF B7), and its trail byte can be ASCII, so the reading is chosen for
    // the whole text: fewest escaped bytes first, then ASCII and three- and
    // four-byte UTF-8 (our own words) over GBK pairs over two-byte UTF-8.
    enum class Piece { Utf8, Gbk, Escape };
    constexpr int kWide = 0, kGbk = 1, kNarrow = 2, kEscape = 1000;
    const std::size_t n = bytes.size();
    std::vector<int> cost(n + 1, 0);
    std::vector<std::pair<Piece, std::size_t>> choice(n);
    std::vector<std::string> decoded(n);
    GbkDecoder gbk;
    for (std::size_t i = n; i-- > 0;) {
        cost[i] = kEscape + cost[i + 1];
        choice[i] = {Piece::Escape, 1};
        if (const std::size_t len = Utf8SequenceLength(bytes, i)) {
            const int c = (len == 2 ? kNarrow : kWide) + cost[i + len];
            if (c < cost[i]) {
                cost[i] = c;
                choice[i] = {Piece::Utf8, len};
            }
        }
        if (i + 1 < n && IsGbkLeadByte(static_cast<unsigned char>(bytes[i]))) {
            decoded[i] = gbk.Pair(bytes[i], bytes[i + 1]);
            const int c = kGbk + cost[i + 2];
            if (!decoded[i].empty() && c < cost[i]) {
                cost[i] = c;
                choice[i] = {Piece::Gbk, 2};
            }
        }
    }
    std::string shown;
    shown.reserve(2 * n);
    for (std::size_t i = 0; i < n; i += choice[i].second) {
        switch (choice[i].first) {
            case Piece::Utf8:
                shown.append(bytes.substr(i, choice[i].second));
                break;
            case Piece::Gbk:
                shown += decoded[i];
                break;
            case Piece::Escape: {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X",
                              static_cast<unsigned char>(bytes[i]));
                shown += escaped;
                break;
            }
        }
    }
    return shown;
}

}  // namespace platform
