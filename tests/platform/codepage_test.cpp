#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

using platform::EqualsNoCaseMb;
using platform::FindCharMb;
using platform::FindLastCharMb;

constexpr auto npos = std::string_view::npos;

// "\x95\x5C" is a GBK character whose second byte is the code of "\".
// "\x81\x2F" cannot occur in valid GBK but shows a trail byte equal to "/".
TEST(CodePage, SearchesSkipTrailBytes) {
    struct Case {
        std::string_view text;
        char ch;
        std::size_t first, last;
    } cases[] = {
        {"a/b/c", '/', 1, 3},
        {"abc", '/', npos, npos},
        {"\x81/x", '/', npos, npos},
        {"\x81/x/y", '/', 3, 3},
        {"\x95\x5C\\", '\\', 2, 2},
        {"x\x81", '\x81', 1, 1},  // a lead byte at the very end stands alone
        {"", '/', npos, npos},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindCharMb(c.text, c.ch), c.first) << c.text;
        EXPECT_EQ(FindLastCharMb(c.text, c.ch), c.last) << c.text;
    }
}

TEST(CodePage, CaseFoldingLeavesDoubleByteCharactersAlone) {
    EXPECT_TRUE(EqualsNoCaseMb("Setting", "sETTING"));
    EXPECT_FALSE(EqualsNoCaseMb("Setting", "Settings"));
    // Trail bytes 'A' and 'a' make different characters.
    EXPECT_FALSE(
        EqualsNoCaseMb("\x81"
                       "A",
                       "\x81"
                       "a"));
    EXPECT_TRUE(
        EqualsNoCaseMb("\x81"
                       "Ax",
                       "\x81"
                       "AX"));
}

}  // namespace
