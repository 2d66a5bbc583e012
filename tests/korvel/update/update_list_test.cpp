#include "korvel/update/update_list.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kInstalled = 0x01000002;  // 1.0.2

struct Parsed {
    std::vector<PatchRecord> records;
    std::int32_t mode = -1;
    std::int32_t seconds = -1;
    std::string options = "unset";
};

Parsed Parse(const std::string& text, std::uint32_t installed = kInstalled) {
    Parsed p;
    ParseUpdateList(installed, text, p.records, p.mode, p.seconds, p.options);
    return p;
}

std::vector<std::string> Versions(const Parsed& p) {
    std::vector<std::string> v;
    for (const auto& r : p.records)
        v.push_back(r.versionText);
    return v;
}

TEST(ParseUpdateList, ListWithHeaderKeepsNewerPatchesInOrder) {
    const Parsed p = Parse(
        "##2 120 - - - - opt\n"
        "1.0.1 bt/p/a101.dat web/p/a101.dat 0123456789abcdef0123456789abcdef 1000 bt\n"
        "1.0.3 bt/p/a103.dat web/p/a103.dat 0123456789abcdef0123456789abcdef 2000 http\n"
        "1.0.4 bt/p/a104.dat web/p/a104.dat 0123456789abcdef0123456789abcdef 3000 bt\n");
    ASSERT_EQ(p.records.size(), 2u);
    const PatchRecord& a = p.records[0];
    EXPECT_EQ(a.version, 0x01000003u);
    EXPECT_EQ(a.versionText, "1.0.3");
    EXPECT_EQ(a.url, "bt/p/a103.dat");
    EXPECT_EQ(a.httpUrl, "web/p/a103.dat");
    EXPECT_EQ(a.md5, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(a.size, "2000");
    EXPECT_EQ(a.method, "http");
    EXPECT_FALSE(a.damaged);
    EXPECT_EQ(PatchFileName(a.url), "a103.dat");
    EXPECT_EQ(p.records[1].version, 0x01000004u);
    EXPECT_EQ(p.records[1].method, "bt");
    EXPECT_EQ(p.mode, 2);
    EXPECT_EQ(p.seconds, 120);
    EXPECT_EQ(p.options, "opt");
}

TEST(ParseUpdateList, HeaderOfSixWordsShiftsEveryFollowingGroup) {
    const std::string entries =
        "1.0.3 bt/a103.dat web/a103.dat 0123456789abcdef0123456789abcdef 2000 http\n"
        "1.0.4 bt/a104.dat web/a104.dat 0123456789abcdef0123456789abcdef 3000 bt\n";
    const Parsed whole = Parse("##1 30 - - - - opt\n" + entries);
    EXPECT_EQ(Versions(whole), (std::vector<std::string>{"1.0.3", "1.0.4"}));

    // The short header takes "1.0.3" as its options word; every later group
    // then starts one word late, on an address, and is skipped.
    const Parsed shifted = Parse("##1 30 - - - -\n" + entries);
    EXPECT_EQ(shifted.options, "1.0.3");
    EXPECT_EQ(shifted.mode, 1);
    EXPECT_EQ(shifted.seconds, 30);
    EXPECT_TRUE(shifted.records.empty());

    // Six more words realign the list.
    const Parsed realigned =
        Parse("##1 30 - - - -\n" + entries + "x 1.0.5 bt/a105.dat web/a105.dat 0123 5 bt\n");
    EXPECT_EQ(Versions(realigned), (std::vector<std::string>{"1.0.5"}));
}

TEST(ParseUpdateList, HeaderWordsAndTheirLimits) {
    struct Case {
        std::string text;
        std::int32_t mode, seconds;
        std::string options;
    } cases[] = {
        {"##0 45 a b c d o", 0, 45, "o"},
        {"#!1 45 a b c d o", 1, 45, "o"},
        {"##2x 7s a b c d o", 2, 7, "o"},
        {"## 45 a b c d o", 0, 45, "o"},   // two characters: mode untouched
        {"##3 45 a b c d o", 0, 45, "o"},  // not a mode digit
        {"##1 abc a b c d o", 1, 0, "o"},  // atoi of a non-number
        {"##1 -5 a b c d o", 1, -5, "o"},
        {"##1 99999999999 a b c d o", 1, static_cast<std::int32_t>(std::atoi("99999999999")), "o"},
        {"##1 10 a b c", 1, 10, ""},  // cut short at the end: missing words are empty
        {"##1 10 a b c d", 1, 10, ""},
        {"#1 10 a b c d o", 0, 0, ""},  // one '#' is no header
        {"!#1 10 a b c d o", 0, 0, ""},
        {"##1 10 a b c d o ##2 20 a b c d p", 2, 20, "p"},  // the later one counts
        {"##1 10 a b c d o #!x 20 a b c d p", 1, 20, "p"},
        {"", 0, 0, ""},
        {" \r\n\t ", 0, 0, ""},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.mode, c.mode) << c.text;
        EXPECT_EQ(p.seconds, c.seconds) << c.text;
        EXPECT_EQ(p.options, c.options) << c.text;
        EXPECT_TRUE(p.records.empty()) << c.text;
    }
}

TEST(ParseUpdateList, WhichEntriesAreKept) {
    const std::string md5 = " 0123456789abcdef0123456789abcdef 1 bt\n";
    struct Case {
        std::string text;
        std::uint32_t installed;
        std::vector<std::string> versions;
    } cases[] = {
        // equal or older dropped, gaps and disorder kept as listed
        {"1.0.2 b/x h/x" + md5 + "1.0.9 b/y h/y" + md5 + "1.0.5 b/z h/z" + md5,
         kInstalled,
         {"1.0.9", "1.0.5"}},
        // comparison is unsigned: 200.0.0 is newer than 1.0.2
        {"200.0.0 b/x h/x" + md5, kInstalled, {"200.0.0"}},
        // a version scanning as three numbers with trailing text still counts
        {"1.0.3beta b/x h/x" + md5, kInstalled, {"1.0.3beta"}},
        // packed fields wrap: 1.256.3 is 1.0.3
        {"1.256.3 b/x h/x" + md5, kInstalled, {"1.256.3"}},
        {"1.0 b/x h/x" + md5, kInstalled, {}},
        {"v1.0.3 b/x h/x" + md5, kInstalled, {}},
        // nothing installed: everything above 0 is newer, 0.0.0 never
        {"0.0.0 b/x h/x" + md5 + "0.0.1 b/y h/y" + md5, 0, {"0.0.1"}},
        // line structure plays no part
        {"1.0.3\nb/x\n\nh/x\t0123456789abcdef0123456789abcdef   1 bt", kInstalled, {"1.0.3"}},
        // a skipped group of six keeps the next aligned
        {"junk a b c d e 1.0.3 b/x h/x" + md5, kInstalled, {"1.0.3"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Versions(Parse(c.text, c.installed)), c.versions) << c.text;
}

TEST(ParseUpdateList, LastEntryCutShortKeepsEmptyWords) {
    const Parsed p = Parse("1.0.3 bt/x.dat web/x.dat");
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].httpUrl, "web/x.dat");
    EXPECT_EQ(p.records[0].md5, "");
    EXPECT_EQ(p.records[0].size, "");
    EXPECT_EQ(p.records[0].method, "");
}

TEST(ParseUpdateList, OutputsAreResetFirst) {
    Parsed p;
    p.records.resize(3);
    p.mode = 2;
    p.seconds = 9;
    p.options = "old";
    ParseUpdateList(kInstalled, "nothing here", p.records, p.mode, p.seconds, p.options);
    EXPECT_TRUE(p.records.empty());
    EXPECT_EQ(p.mode, 0);
    EXPECT_EQ(p.seconds, 0);
    EXPECT_EQ(p.options, "");
}

TEST(PatchFileName, TextAfterTheLastSlash) {
    struct Case {
        std::string url, name;
    } cases[] = {
        {"http://host/p/a103.dat", "a103.dat"},
        {"a103.dat", ""},
        {"http://host/p/", ""},
        // A "/" right after a lead byte is the second half of a character.
        {"http://host/\xB1\x2F"
         "b.dat",
         "\xB1\x2F"
         "b.dat"},
        {"http://host/\xD5\xE2/\xB1\x5C"
         "x",
         "\xB1\x5C"
         "x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PatchFileName(c.url), c.name) << c.url;
}

TEST(ChooseClosingTorrent, ModesAndTheRandomValue) {
    struct Case {
        std::int32_t mode;
        std::size_t count;
        int random;
        std::optional<std::size_t> chosen;
    } cases[] = {
        {0, 5, 0, std::nullopt},
        {1, 5, 3, 0},
        {1, 1, 0, std::nullopt},
        {2, 1, 0, std::nullopt},
        {1, 0, 0, std::nullopt},
        {2, 2, 0, 0},
        {2, 2, 4, 0},
        {2, 2, 1, std::nullopt},  // odd: the last record, never chosen
        {2, 2, 7, std::nullopt},
        {2, 3, 2, std::nullopt},
        {2, 3, 4, 1},
        {2, 5, 2147483647, 2},  // RAND_MAX % 5
        {3, 5, 0, std::nullopt},
        {-1, 5, 0, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseClosingTorrent(c.mode, c.count, c.random), c.chosen)
            << c.mode << " " << c.count << " " << c.random;
}

}  // namespace
