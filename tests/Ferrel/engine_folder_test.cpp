// The engine against what it finds in and around the client folder: names,
// files that are longer or no files at all, and its own info folder.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "tests/Ferrel/engine_fixture.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::EngineProcess;
using ferrel_test::EngineTest;
using testing_support::HoldsTree;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

struct LocalCase {
    const char* name;
    const char* folder;  // the client folder's name, beside a folder "game"
    // Turns the client folder (a copy of the published one) into the case.
    std::function<void(const std::string& dir)> prepare;
};

void PrintTo(const LocalCase& c, std::ostream* os) {
    *os << c.name;
}

class LocalFolderTest : public EngineTest, public testing::WithParamInterface<LocalCase> {};

TEST_P(LocalFolderTest, IsRepairedInPlaceAndNothingElseIsTouched) {
    TempDir base;
    base.Write("game/marker.txt", "the folder beside");
    const std::string dir = base.Sub(GetParam().folder);
    fs::copy(published_, dir, fs::copy_options::recursive);
    GetParam().prepare(dir);

    EngineProcess engine(Args(dir));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, std::chrono::seconds(30)))
        << testing::PrintToString(engine.lines());
    EXPECT_TRUE(HoldsTree(dir, published_));
    for (const auto& e : fs::recursive_directory_iterator(published_)) {
        if (!e.is_regular_file())
            continue;
        EXPECT_EQ(fs::file_size(dir + "/" + fs::relative(e.path(), published_).string()),
                  e.file_size())
            << e.path();
    }
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
    std::vector<std::string> beside;
    for (const auto& e : fs::recursive_directory_iterator(base.Sub("game")))
        beside.push_back(fs::relative(e.path(), base.path()).string());
    EXPECT_EQ(beside, std::vector<std::string>{"game/marker.txt"});
}

const LocalCase kLocalCases[] = {
    {"a folder name ending in a backslash", "game\\",
     [](const std::string& dir) { fs::remove_all(dir + "/sub"); }},
    {"a folder that is not there yet", "client",
     [](const std::string& dir) { fs::remove_all(dir); }},
    {"files longer than published", "client",
     [](const std::string& dir) {
         WriteFile(dir + "/a.txt", "intact\nand then some");
         WriteFile(dir + "/empty.txt", "not empty");
         fs::resize_file(dir + "/big.dat", (3 << 20) + 70000);
     }},
    {"a pipe where a file belongs", "client",
     [](const std::string& dir) {
         fs::remove(dir + "/sub/b.bin");
         ASSERT_EQ(::mkfifo((dir + "/sub/b.bin").c_str(), 0644), 0);
     }},
    {"a link to a pipe where a file belongs", "client",
     [](const std::string& dir) {
         fs::remove(dir + "/sub/deep/c.bin");
         ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0644), 0);
         fs::create_symlink("../../pipe", dir + "/sub/deep/c.bin");
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, LocalFolderTest, testing::ValuesIn(kLocalCases));

struct InfoFolderCase {
    const char* name;
    // Plants something in the client folder dir that leads to outside.
    std::function<void(const std::string& dir, const std::string& outside)> plant;
    bool refused;  // the engine stops at its start instead of repairing
};

void PrintTo(const InfoFolderCase& c, std::ostream* os) {
    *os << c.name;
}

class InfoFolderTest : public EngineTest, public testing::WithParamInterface<InfoFolderCase> {};

TEST_P(InfoFolderTest, FollowsNoLinkOutOfTheFolder) {
    TempDir client, outside;
    WriteFile(outside.Sub("victim"), "victim");
    GetParam().plant(client.path(), outside.path());

    EngineProcess engine(Args(client.path()));
    if (GetParam().refused) {
        ASSERT_TRUE(engine.WaitForState(ferrel::INIT_ERROR))
            << testing::PrintToString(engine.lines());
        EXPECT_EQ(engine.Values("Error"), std::vector<std::string>{"OpenFile"});
    } else {
        ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED))
            << testing::PrintToString(engine.lines());
        EXPECT_TRUE(HoldsTree(client.path(), published_));
    }
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
    EXPECT_EQ(ReadFile(outside.Sub("victim")), "victim");
    std::vector<std::string> there;
    for (const auto& e : fs::recursive_directory_iterator(outside.path()))
        there.push_back(e.path().filename());
    EXPECT_EQ(there, std::vector<std::string>{"victim"});
}

const InfoFolderCase kInfoFolderCases[] = {
    {"the info folder is a link",
     [](const std::string& dir, const std::string& outside) {
         fs::create_directory_symlink(outside, dir + "/.ferrel");
     },
     true},
    {"the seed cache's part file is a link",
     [](const std::string& dir, const std::string& outside) {
         fs::create_directory(dir + "/.ferrel");
         fs::create_symlink(outside + "/victim", dir + "/.ferrel/seed.torrent.part");
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, InfoFolderTest, testing::ValuesIn(kInfoFolderCases));

}  // namespace
