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

// "补丁" and "游戏" in GBK; our own words stay UTF-8 around them.
TEST(CodePage, DisplayTextReadsNonUtf8RunsAsGbk) {
    struct Case {
        std::string bytes, shown;
    } cases[] = {
        {"开始下载 \xB2\xB9\xB6\xA1.dat", "开始下载 补丁.dat"},
        {"文件下载出错,请重新下载:/home/u/\xD3\xCE\xCF\xB7/download/\xB2\xB9\xB6\xA1.dat!",
         "文件下载出错,请重新下载:/home/u/游戏/download/补丁.dat!"},
        {"patch 文件下载发生错误， 程序将自动删除\xB2\xB9\xB6\xA1",
         "patch 文件下载发生错误， 程序将自动删除补丁"},
        {"\xB2\xB9\xB6\xA1版本号错误!", "补丁版本号错误!"},
        {"\x95\x5C.dat", "昞.dat"},  // a trail byte that is ASCII
        {"plain ascii", "plain ascii"},
        {"\xFF\x80x", "\\xFF\\x80x"},              // neither UTF-8 nor GBK
        {"a\xB2", "a\\xB2"},                       // a lead byte at the end
        {"\xB2 b", "\\xB2 b"},                     // a lead byte before no trail byte
        {"\xC0/", "\\xC0/"},                       // nor before "/"
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // four-byte UTF-8 stays
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::DisplayText(c.bytes), c.shown) << c.bytes;
}

}  // namespace
