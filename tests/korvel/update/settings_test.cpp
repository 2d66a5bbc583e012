#include "korvel/update/settings.h"

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "korvel/res/strings.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::TempDir;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { GameDir = game_.path() + "/"; }
    void TearDown() override { GameDir.clear(); }
    void WriteIni(const std::string& body) { game_.Write("update.ini", "[Setting]\r\n" + body); }
    TempDir game_;
};

TEST(PackVersion, ComponentsAreReducedNotRejected) {
    static_assert(PackVersion(1, 2, 3) == 0x01020003);
    static_assert(PackVersion(2, 0, 15) == 0x0200000F);
    static_assert(PackVersion(1, 256, 7) == PackVersion(1, 0, 7));
    static_assert(PackVersion(0, 0, 65536) == 0);
    static_assert(PackVersion(-1, 0, 0) == 0xFF000000);
}

TEST_F(SettingsTest, ClientVersionFromUpdateIni) {
    struct Case {
        const char* value;
        std::uint32_t expected;
    } cases[] = {
        {"1.2.3", 0x01020003},
        {"0.0.1", 1},
        {"1.256.7", 0x01000007},
        {"1.2", 0},
        {"1.2.3.4", 0x01020003},
        {"1.2.3beta", 0x01020003},
        {"1. 2. 3", 0x01020003},
        {"-1.0.0", 0xFF000000},
        {"0.0.0", 0},
        {"1 .2.3", 0},
        {"v1.2.3", 0},
        {"\"1.2.3\"", 0x01020003},
    };
    for (const auto& c : cases) {
        WriteIni(std::string("Version=") + c.value + "\r\n");
        EXPECT_EQ(ReadClientVersion(), c.expected) << c.value;
    }
    WriteIni("Other=1\r\n");
    EXPECT_EQ(ReadClientVersion(), 0u);  // the default "0.0.0" packs to 0
}

TEST(BtWaitSeconds, OnlyPlainDecimalNumbersCount) {
    struct Case {
        const char* value;
        std::int32_t expected;
    } cases[] = {
        {"45", 45},
        {"0045", 45},
        {"0", 30},
        {"000", 30},
        {"", 30},
        {"45s", 30},
        {"4 5", 30},
        {"-5", 30},
        {"4a", 30},
        {" 45", 30},
        {"1", 1},
        {"100", 100},
        {"2147483647", 2147483647},
        {"99999999999999999999", 2147483647},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BtWaitSecondsFromText(c.value), c.expected) << c.value;
}

TEST_F(SettingsTest, BtWaitTimeIsReadFromTheSettingsFile) {
    WriteIni("BtWaitTime = 0045 \r\n");
    EXPECT_EQ(ReadBtWaitSeconds(), 45);
    WriteIni("Version=1.0.0\r\n");
    EXPECT_EQ(ReadBtWaitSeconds(), 30);
}

TEST_F(SettingsTest, ReadSettingUsesGameDirAndTheDefaultFileName) {
    WriteIni("UpdateURLEX=http://127.0.0.1:8080/list.txt\r\n");
    EXPECT_EQ(ReadSetting("", res::LoadString(res::IDS_UPDATE_URL_KEY), res::kDefaultUpdateUrl),
              "http://127.0.0.1:8080/list.txt");
    EXPECT_EQ(ReadSetting("update.ini", "UPDATEURLEX", ""), "http://127.0.0.1:8080/list.txt");
    EXPECT_EQ(ReadSetting("", setting::kReportUrl, res::kDefaultReportUrl), res::kDefaultReportUrl);
    game_.Write("update.ini", "[Setting]\nUpdateURLEX=" + std::string(2000, 'u') + "\n");
    EXPECT_EQ(ReadSetting("", "UpdateURLEX", "").size(), kSettingBufferSize - 1);
}

TEST(DefaultAddresses, KeepTheirFixedPaths) {
    EXPECT_TRUE(std::string(res::kDefaultUpdateUrl).ends_with("/patch_test.txt"));
    EXPECT_TRUE(std::string(res::kDefaultReportUrl).ends_with("/patch_download"));
    EXPECT_TRUE(std::string(res::kDefaultExpMd5Url).ends_with("/exp_list1.txt"));
    EXPECT_EQ(res::LoadString(res::IDS_DEFAULT_UPDATE_URL), res::kDefaultUpdateUrl);
}

}  // namespace
