#include "platform/profile.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using platform::GetPrivateProfileString;
using testing_support::TempDir;

struct ProfileCase {
    const char* name;
    std::string file;
    std::string section;
    std::string key;
    std::string expected;  // with default "DEF" and a 1024-byte buffer
};

void PrintTo(const ProfileCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileReadTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileReadTest, ReadsLikeTheWindowsProfileFunction) {
    const ProfileCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("update.ini", c.file);
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "DEF", 1024, path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileReadTest,
    ::testing::Values(
        ProfileCase{"plain", "[Setting]\nVersion=1.2.3\n", "Setting", "Version", "1.2.3"},
        ProfileCase{"crlf", "[Setting]\r\nVersion=1.2.3\r\nOther=x\r\n", "Setting", "Version",
                    "1.2.3"},
        ProfileCase{"bom", "\xEF\xBB\xBF[Setting]\r\nVersion=1.2.3\r\n", "Setting", "Version",
                    "1.2.3"},
        ProfileCase{"section_case", "[SETTING]\nversion=7\n", "Setting", "Version", "7"},
        ProfileCase{"key_case", "[setting]\nVERSION=7\n", "Setting", "version", "7"},
        ProfileCase{"blanks_trimmed", "  [Setting]  \n   Version   =   1.2.3  \t\n", "Setting",
                    "Version", "1.2.3"},
        ProfileCase{"inner_blanks_kept", "[Setting]\nKey= a  b \n", "Setting", "Key", "a  b"},
        ProfileCase{"double_quotes", "[Setting]\nKey=\"quoted value\"\n", "Setting", "Key",
                    "quoted value"},
        ProfileCase{"single_quotes", "[Setting]\nKey='v'\n", "Setting", "Key", "v"},
        ProfileCase{"mismatched_quotes", "[Setting]\nKey=\"v'\n", "Setting", "Key", "\"v'"},
        ProfileCase{"lone_quote", "[Setting]\nKey=\"\n", "Setting", "Key", "\""},
        ProfileCase{"empty_quotes", "[Setting]\nKey=\"\"\n", "Setting", "Key", ""},
        ProfileCase{"empty_value", "[Setting]\nKey=\n", "Setting", "Key", ""},
        ProfileCase{"missing_key", "[Setting]\nOther=1\n", "Setting", "Key", "DEF"},
        ProfileCase{"missing_section", "[Other]\nKey=1\n", "Setting", "Key", "DEF"},
        ProfileCase{"key_in_other_section", "[Other]\nKey=1\n[Setting]\nX=2\n", "Setting", "Key",
                    "DEF"},
        ProfileCase{"key_before_any_section", "Key=1\n[Setting]\n", "Setting", "Key", "DEF"},
        ProfileCase{"line_without_equals", "[Setting]\nKey\n", "Setting", "Key", "DEF"},
        ProfileCase{"first_key_wins", "[Setting]\nKey=1\nKey=2\n", "Setting", "Key", "1"},
        ProfileCase{"first_section_only", "[Setting]\nA=1\n[Setting]\nKey=2\n", "Setting", "Key",
                    "DEF"},
        ProfileCase{"value_with_equals", "[Setting]\nUrl=http://h/a?b=c\n", "Setting", "Url",
                    "http://h/a?b=c"},
        ProfileCase{"comment_line", "[Setting]\n;Key=1\nKey=2\n", "Setting", "Key", "2"},
        ProfileCase{"gbk_value_bytes_kept", "[Setting]\nName=\xD6\xD0\xCE\xC4\n", "Setting", "Name",
                    "\xD6\xD0\xCE\xC4"},
        ProfileCase{"no_trailing_newline", "[Setting]\nKey=last", "Setting", "Key", "last"},
        ProfileCase{"old_mac_line_ends", "[Setting]\rKey=cr\r", "Setting", "Key", "cr"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileRead, MissingFileGivesDefaultWithoutTrailingBlanks) {
    TempDir dir;
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "30", 1024, dir.Sub("none.ini")), "30");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "30  ", 1024, dir.Sub("none.ini")), "30");
}

TEST(ProfileRead, ValueIsCutToBufferSizeMinusOne) {
    TempDir dir;
    const std::string longValue(3000, 'x');
    const std::string path = dir.Write("a.ini", "[Setting]\nKey=" + longValue + "\n");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "", 1024, path), std::string(1023, 'x'));
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "", 1, path), "");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "", 0, path), "");
    // The default is cut the same way.
    EXPECT_EQ(GetPrivateProfileString("Setting", "None", "abcdef", 4, path), "abc");
}

TEST(ProfileRead, FileIsReadAnewOnEveryCall) {
    TempDir dir;
    const std::string path = dir.Write("a.ini", "[Setting]\nKey=1\n");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "", 1024, path), "1");
    testing_support::WriteFile(path, "[Setting]\nKey=2\n");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Key", "", 1024, path), "2");
}

}  // namespace
