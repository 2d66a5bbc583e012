#include "korvel/expansion/expansion_table.h"

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "korvel/res/hosts.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::TempDir;

const char* const kShapeFiles[] = {"shape.wd1", "shape.wd2", "shape.wd3", "shape.wd4", "shape.wd5",
                                   "shape.wd6", "shape.wd7", "shape.wd8", "shape.wd9", "shape.wda"};

class ExpansionTableTest : public ::testing::Test {
  protected:
    void SetUp() override { GameDir = game_.path() + "/"; }
    void TearDown() override { GameDir.clear(); }

    // A fresh game folder holding every shape file but the missing ones
    // (plus extra files), and update.ini with the given settings.
    void MakeGame(const std::set<std::string>& missing, const std::vector<std::string>& extra,
                  const std::string& settings) {
        std::filesystem::remove_all(game_.path());
        std::filesystem::create_directory(game_.path());
        for (const char* shape : kShapeFiles)
            if (!missing.count(shape))
                game_.Write(shape, "");
        for (const std::string& name : extra)
            game_.Write(name, "");
        game_.Write("update.ini", "[Setting]\r\n" + settings);
    }

    TempDir game_;
};

TEST_F(ExpansionTableTest, FirstMissingPackWithItsAddress) {
    const std::string row4 = "http://" KORVEL_UPDATE_HOST "/ZORNEXP4.exe";
    const std::string row10 = "http://" KORVEL_MIRROR_HOST "/zorn/ZORNEXP10.exe";
    struct Case {
        const char* name;
        std::set<std::string> missing;
        std::vector<std::string> extra;
        std::string settings;
        int row;
        std::string url;
    } cases[] = {
        {"all present", {}, {}, "", 0, ""},
        {"only wd4 missing, default", {"shape.wd4"}, {}, "", 4, row4},
        {"only wd4 missing, set",
         {"shape.wd4"},
         {},
         "ExpVersion4=http://h/x4.exe\r\n",
         4,
         "http://h/x4.exe"},
        {"wd2 and wd7 missing",
         {"shape.wd2", "shape.wd7"},
         {},
         "",
         2,
         "http://" KORVEL_UPDATE_HOST "/ZORNEXP2.exe"},
        {"row 10 by wda alone", {"shape.wda"}, {"shape.wd10", "shape.wd1a"}, "", 10, row10},
        {"row 10 set by key A",
         {"shape.wda"},
         {},
         "ExpVersionA=http://h/a.exe\r\n",
         10,
         "http://h/a.exe"},
        {"another row's key does not count",
         {"shape.wd3"},
         {},
         "ExpVersion4=http://h/x4.exe\r\n",
         3,
         "http://" KORVEL_UPDATE_HOST "/ZORNEXP3.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeGame(c.missing, c.extra, c.settings);
        std::string title = "before", url = "before", shape;
        const int row = FindMissingExpansion(GameDir, title, url, shape);
        EXPECT_EQ(row, c.row);
        if (c.row == 0) {
            EXPECT_EQ(title, "before");
            EXPECT_EQ(url, "before");
            EXPECT_EQ(shape, GameDir + "shape.wda");
            continue;
        }
        EXPECT_EQ(title, ExpansionTable[c.row - 1].title);
        EXPECT_EQ(ExpansionKeyForTitle(title), "EXP" + std::to_string(c.row));
        EXPECT_EQ(url, c.url);
        EXPECT_EQ(shape, GameDir + kShapeFiles[c.row - 1]);
    }
}

// The worker finds a pack's key by its title.
TEST(ExpansionTable, EveryTitleLeadsBackToItsKey) {
    for (const ExpansionPack& pack : ExpansionTable)
        EXPECT_EQ(ExpansionKeyForTitle(pack.title), pack.key) << pack.title;
    EXPECT_EQ(ExpansionKeyForTitle(std::string(ExpansionTable[0].title) + " "), "");
}

TEST_F(ExpansionTableTest, OnlyRowTensBuiltInTorrentComesFromTheFastMirror) {
    const std::string fast = "http://" KORVEL_FAST_MIRROR_HOST "/ZORNEXP10.exe.torrent";
    struct Case {
        const char* missing;
        std::string settings;
        std::string torrent;  // empty: the installer's own torrent address
    } cases[] = {
        {"shape.wda", "", fast},
        {"shape.wda", "ExpVersionA=http://h/zorn/ZORNEXP10.exe\r\n", ""},
        {"shape.wd3", "", ""},
        {"shape.wd3", "ExpVersion3=http://h/ZORNEXP3.exe\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing + (" " + c.settings));
        MakeGame({c.missing}, {}, c.settings);
        std::string title, url, shape;
        ASSERT_NE(FindMissingExpansion(GameDir, title, url, shape), 0);
        const std::string torrent = url + ".torrent";
        EXPECT_EQ(MirrorTorrentUrl(torrent), c.torrent.empty() ? torrent : c.torrent);
    }
    // Exact match of the whole text only.
    const std::string row10 = "http://" KORVEL_MIRROR_HOST "/zorn/ZORNEXP10.exe.torrent";
    EXPECT_EQ(MirrorTorrentUrl(row10 + " "), row10 + " ");
    EXPECT_EQ(MirrorTorrentUrl("HTTP://" KORVEL_MIRROR_HOST "/zorn/ZORNEXP10.exe.torrent"),
              "HTTP://" KORVEL_MIRROR_HOST "/zorn/ZORNEXP10.exe.torrent");
}

}  // namespace
