#include "common/channel/status_lines.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char* name;
    std::vector<std::string> lines;
    vellum::StatusMap expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseStatusLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseStatusLineTest, EntersTheKeysTheLinesName) {
    vellum::StatusMap map;
    for (const std::string& line : GetParam().lines)
        vellum::ParseStatusLine(line, map);
    EXPECT_EQ(map, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseStatusLineTest,
    testing::Values(
        ParseCase{"CarriageReturnTrimmed", {"[Interactive]P2PState=14\r"}, {{"P2PState", "14"}}},
        ParseCase{"SpacesAroundKeyAndValue",
                  {"[Interactive] Percentage = 12.500000 \t "},
                  {{"Percentage", "12.500000"}}},
        ParseCase{"NoBrackets", {"P2PState=14"}, {}},
        ParseCase{"OnlyOpeningBracket", {"[Interactive P2PState=14"}, {}},
        ParseCase{"NoEquals", {"[Interactive]hello"}, {}},
        ParseCase{"EqualsInsideTheValue",
                  {"[Interactive]ErrorFile=C:\\a=b.txt"},
                  {{"ErrorFile", "C:\\a=b.txt"}}},
        ParseCase{"BracketInsideTheValue",
                  {"[Interactive]ErrorFile=data]x.pak"},
                  {{"ErrorFile", "data]x.pak"}}},
        ParseCase{"EmptyValueKept", {"[Interactive]FileName="}, {{"FileName", ""}}},
        ParseCase{"TagNotExamined", {"[Other]UserId=7"}, {{"UserId", "7"}}},
        ParseCase{"SecondValueReplacesTheFirst",
                  {"[Interactive]FileName=:", "[Interactive]TotalByte=10",
                   "[Interactive]FileName=data/a.pak"},
                  {{"FileName", "data/a.pak"}, {"TotalByte", "10"}}},
        ParseCase{"IgnoredLineLeavesEarlierValue",
                  {"[Interactive]P2PState=14", "P2PState=15", "[Interactive]P2PState"},
                  {{"P2PState", "14"}}}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

}  // namespace
