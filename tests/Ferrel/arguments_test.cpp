#include "Ferrel/arguments.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using ferrel::EngineArguments;
using ferrel::EngineMode;

struct ArgumentCase {
    const char* name;
    std::string commandLine;
    std::function<void(const EngineArguments&)> check;
};

void PrintTo(const ArgumentCase& c, std::ostream* os) {
    *os << c.name;
}

class ArgumentTest : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentTest, ReadsTheCommandLine) {
    GetParam().check(ferrel::ReadArguments(ferrel::SplitCommandLine(GetParam().commandLine)));
}

const ArgumentCase kArgumentCases[] = {
    {"the tool's own line",
     "-Dir \"/games/my client\" -HttpUrl http://127.0.0.1:8080 -Torrent zornfix.data -Mode repair "
     "-HttpThread 4 -P2PUploadThread 6 -P2PUploadListSize 12 -DownloadLimit 10000 -UploadLimit "
     "10000 -DeleteDownloadInfo -InteractivePort 23456",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.dir, "/games/my client/");
         EXPECT_EQ(a.httpUrls, std::vector<std::string>{"http://127.0.0.1:8080"});
         EXPECT_EQ(a.torrent, "zornfix.data");
         EXPECT_TRUE(a.modeGiven && a.modeValid);
         EXPECT_EQ(a.mode, EngineMode::Repair);
         EXPECT_EQ(a.httpThread, 4);
         EXPECT_EQ(a.p2pUploadThread, 6);
         EXPECT_EQ(a.p2pUploadListSize, 12);
         EXPECT_EQ(a.downloadLimit, 10000 * 1024);
         EXPECT_EQ(a.uploadLimit, 10000 * 1024);
         EXPECT_TRUE(a.deleteDownloadInfo);
         EXPECT_EQ(a.interactivePort, 23456);
     }},
    {"keys ignore case, unknown keys and stray words are dropped",
     "stray -DIR /c -hTTPurL http://a -SomethingNew 5 6 -torrent s.data",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.dir, "/c/");
         EXPECT_EQ(a.httpUrls, std::vector<std::string>{"http://a"});
         EXPECT_EQ(a.torrent, "s.data");
     }},
    {"several values and repeated keys", "-HttpUrl http://a http://b -Torrent t -HttpUrl http://c",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.httpUrls, (std::vector<std::string>{"http://a", "http://b", "http://c"}));
     }},
    {"a backslash ends a name, not a folder", "-Dir /games/client\\ -Postfix x",
     [](const EngineArguments& a) { EXPECT_EQ(a.dir, "/games/client\\/"); }},
    {"a folder ending in a slash keeps it", "-Dir /games/client/",
     [](const EngineArguments& a) { EXPECT_EQ(a.dir, "/games/client/"); }},
    {"limits are clamped before the KB factor", "-UploadLimit 1 -DownloadLimit 99999999",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.uploadLimit, 3 * 1024);
         EXPECT_EQ(a.downloadLimit, 1048576LL * 1024);
     }},
    {"the other ends of the clamps", "-UploadLimit 9999999999 -DownloadLimit 0",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.uploadLimit, 1048576LL * 1024);
         EXPECT_EQ(a.downloadLimit, 10 * 1024);
     }},
    {"ports only from 1 to 65535", "-LocalTcp 65536 -LocalUdp 1 -InteractivePort 65535",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.localTcp, 0);
         EXPECT_EQ(a.localUdp, 1);
         EXPECT_EQ(a.interactivePort, 65535);
     }},
    {"numbers that are not numbers keep the default", "-LocalTcp 80x -HttpThread four -UploadLimit",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.localTcp, 0);
         EXPECT_EQ(a.httpThread, -1);
         EXPECT_EQ(a.uploadLimit, 0);
     }},
    {"report interval and info level clamps", "-ReportPercentInterval 0 -OutInfoLevel 9",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.reportPercentInterval, 1);
         EXPECT_EQ(a.outInfoLevel, 6);
     }},
    {"flags and switches",
     "-NotUsingUPnP -InfoFolderHidden -GenerateDownloadInfo -ShowDumpDlg 0 -HttpReport 2 "
     "-ReportPercentInterval 500",
     [](const EngineArguments& a) {
         EXPECT_TRUE(a.notUsingUpnp);
         EXPECT_TRUE(a.infoFolderHidden);
         EXPECT_TRUE(a.generateDownloadInfo);
         EXPECT_FALSE(a.showDumpDlg);
         EXPECT_TRUE(a.httpReport);
         EXPECT_FALSE(a.deleteDownloadInfo);
         EXPECT_EQ(a.reportPercentInterval, 100);
     }},
    {"a value starting with a hyphen is a key", "-Torrent -HttpThread 2",
     [](const EngineArguments& a) {
         EXPECT_EQ(a.torrent, "");
         EXPECT_EQ(a.httpThread, 2);
     }},
    {"modes", "-Mode UPDATE",
     [](const EngineArguments& a) {
         EXPECT_TRUE(a.modeValid);
         EXPECT_EQ(a.mode, EngineMode::Update);
     }},
    {"an unknown mode is marked", "-Mode fix",
     [](const EngineArguments& a) {
         EXPECT_TRUE(a.modeGiven);
         EXPECT_FALSE(a.modeValid);
     }},
    {"a lone hyphen names nothing", "-Torrent t - x",
     [](const EngineArguments& a) { EXPECT_EQ(a.torrent, "t"); }},
};

INSTANTIATE_TEST_SUITE_P(Table, ArgumentTest, testing::ValuesIn(kArgumentCases));

TEST(PostfixTest, ForbiddenCharactersBecomeHyphens) {
    const EngineArguments a =
        ferrel::ReadArguments(std::vector<std::string>{"-Postfix", "a\"b*c/d:e<f>g?h\\i|j.k"});
    EXPECT_EQ(a.postfix, "a-b-c-d-e-f-g-h-i-j.k");
}

TEST(SplitCommandLineTest, QuotesGroupAndDisappear) {
    EXPECT_EQ(ferrel::SplitCommandLine("  a \"b c\"  d\"e f\"g \"\" "),
              (std::vector<std::string>{"a", "b c", "de fg", ""}));
}

}  // namespace
