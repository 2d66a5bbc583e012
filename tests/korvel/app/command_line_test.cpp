#include "korvel/app/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, ModeAndDirectories) {
    struct Case {
        std::string line;
        bool expansion;
        std::string gameDir, downloadDir;
    } cases[] = {
        {"0 /srv/game", true, "/srv/game/", "/srv/game/download"},
        {"00 /srv/game", true, "/srv/game/", "/srv/game/download"},
        {"1a /srv/game", false, "/srv/game/", "/srv/game/download"},
        {"0x1F /srv/game", false, "/srv/game/", "/srv/game/download"},
        {"5 /home/u/My Game", false, "/home/u/My Game/", "/home/u/My Game/download"},
        {"5 /srv/game/", false, "/srv/game//", "/srv/game/download"},
        {"5 /game", false, "/game/", "/game/download"},  // never "/gamedownload"
        {"5 ", false, "/", "/download"},
        {"5 \"/q d\"", false, "\"/q d\"/", "\"/q d\"/download"},  // quotes stay
        {"-1 /g", false, "/g/", "/g/download"},
        {"0x0 /g", true, "/g/", "/g/download"},
        {"12zz /g", false, "/g/", "/g/download"},  // the scan stops at "z"
        {"0x /g", true, "/g/", "/g/download"},     // the C library reads a bare "0x" as 0
    };
    for (const auto& c : cases) {
        LaunchArguments args;
        ASSERT_EQ(ParseCommandLine(c.line, args), CommandLineStatus::Ok) << c.line;
        EXPECT_EQ(args.expansionMode, c.expansion) << c.line;
        EXPECT_EQ(MakeGameDir(args.gameDirectory), c.gameDir) << c.line;
        EXPECT_EQ(MakeDownloadDir(args.gameDirectory), c.downloadDir) << c.line;
    }
}

TEST(CommandLine, Refusals) {
    struct Case {
        std::string line;
        CommandLineStatus status;
    } cases[] = {
        {"", CommandLineStatus::Empty},
        {"/srv/game", CommandLineStatus::NoSpace},
        {" /srv/game", CommandLineStatus::BadValue},  // empty first word
        {"zz /srv/game", CommandLineStatus::BadValue},
    };
    for (const auto& c : cases) {
        LaunchArguments args;
        EXPECT_EQ(ParseCommandLine(c.line, args), c.status) << c.line;
    }
}

TEST(CommandLine, ArgumentsAreJoinedWithSingleBlanks) {
    const char* argv[] = {"korvel", "1a", "/home/u/My", "Game"};
    EXPECT_EQ(JoinArguments(4, argv), "1a /home/u/My Game");
    EXPECT_EQ(JoinArguments(1, argv), "");
    const char* spaced[] = {"korvel", "1a", "/home/u/My Game"};
    EXPECT_EQ(JoinArguments(3, spaced), "1a /home/u/My Game");
}

}  // namespace
