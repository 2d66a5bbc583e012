#include "Ferrel/commands.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

using ferrel::CommandKind;

struct CommandCase {
    const char* name;
    std::string line;
    bool seedKnown;
    CommandKind kind;
    std::string replies;
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, Answers) {
    ferrel::StatusSnapshot s;
    s.userId = "u\n7";
    s.state = ferrel::DOWNLOADING;
    s.percentage = 12.5;
    s.percentageDownloaded = 50;
    s.curUpdatePercentage = 12.5;
    s.incompleteBytes = 5000000000ULL;  // beyond 32 bits
    s.uploadRate = 1.5;
    s.downloadRate = 2048.25;
    s.uploadUsers = 1;
    s.downloadUsers = 2;
    s.connections = 3;
    s.totalBytes = 6000000000ULL;
    s.seedKnown = GetParam().seedKnown;
    s.firstFileName = "data/a.pak";
    std::string replies;
    EXPECT_EQ(ferrel::AnswerCommand(GetParam().line, s, replies), GetParam().kind);
    EXPECT_EQ(replies, GetParam().replies);
}

const CommandCase kCommandCases[] = {
    {"stat, eleven keys in order", "stat", true, CommandKind::Answered,
     "[Interactive]UserId=u 7\n[Interactive]P2PState=14\n[Interactive]Percentage=12.500000\n"
     "[Interactive]PercentageDownloaded=50.000000\n[Interactive]CurUpdatePercentage=12.500000\n"
     "[Interactive]IncompleteByte=5000000000\n[Interactive]UploadBandWidth=1.500000\n"
     "[Interactive]DownloadBandWidth=2048.250000\n[Interactive]UploadUserNum=1\n"
     "[Interactive]DownloadUserNum=2\n[Interactive]ConnectNum=3\n"},
    {"get tb", "get tb", false, CommandKind::Answered, "[Interactive]TotalByte=6000000000\n"},
    {"get qf 0 with a carriage return", "get qf 0\r", true, CommandKind::Answered,
     "[Interactive]FileName=data/a.pak\n"},
    {"get qf 0 before the seed", "get qf 0", false, CommandKind::Answered,
     "[Interactive]FileName=:\n"},
    {"get qf without an index", "get qf", true, CommandKind::None, ""},
    {"quit", "quit", true, CommandKind::Quit, ""},
    {"commands are case-sensitive", "STAT", true, CommandKind::None, ""},
    {"unknown command", "showp2p", true, CommandKind::None, ""},
    {"empty line", "", true, CommandKind::None, ""},
    {"binary bytes", std::string("\0\xff get", 6), true, CommandKind::None, ""},
};

INSTANTIATE_TEST_SUITE_P(Table, CommandTest, testing::ValuesIn(kCommandCases));

}  // namespace
