// Multi-byte aware helpers for byte strings in the system code page (GBK).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// True when c starts a double-byte character in GBK (code page 936).
constexpr bool IsGbkLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// Position of the first / last occurrence of the single-byte character ch in
// s, never matching the second byte of a double-byte character; npos if none.
std::size_t FindCharMb(std::string_view s, char ch, std::size_t from = 0);
std::size_t FindLastCharMb(std::string_view s, char ch);

// Compares two byte strings, folding ASCII letters only; double-byte
// characters must match exactly.
bool EqualsNoCaseMb(std::string_view a, std::string_view b);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsUtf8(std::string_view bytes);

// A byte text as it is to be shown (windows, boxes, the console), which
// expect UTF-8: our own words are UTF-8, while names, paths and server texts
// joined to them may be GBK. Valid UTF-8 runs are kept, the other bytes are
// read as GBK characters, and a byte that is neither shows as "\xNN".
std::string DisplayText(std::string_view bytes);

}  // namespace platform
