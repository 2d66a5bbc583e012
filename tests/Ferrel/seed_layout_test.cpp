#include "Ferrel/seed_layout.h"

#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libtorrent/bencode.hpp>
#include <libtorrent/entry.hpp>

namespace {

struct SeedEntry {
    std::vector<std::string> path;
    std::string attr = "";
};

// A bencoded seed with the top folder top and these files.
std::string Seed(const std::vector<SeedEntry>& files, const std::string& top) {
    lt::entry root;
    lt::entry& info = root["info"];
    info["name"] = top;
    info["piece length"] = 16384;
    info["pieces"] = std::string(20, 'x');
    lt::entry::list_type list;
    for (const SeedEntry& f : files) {
        lt::entry e;
        e["length"] = 1;
        lt::entry::list_type path;
        for (const std::string& p : f.path)
            path.emplace_back(p);
        e["path"] = path;
        if (!f.attr.empty())
            e["attr"] = f.attr;
        list.push_back(e);
    }
    info["files"] = list;
    std::string out;
    lt::bencode(std::back_inserter(out), root);
    return out;
}

struct LayoutCase {
    const char* name;
    std::vector<SeedEntry> files;
    bool accepted;
    std::string top = "client";
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class SeedLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(SeedLayoutTest, AcceptsOnlyPlainPaths) {
    ferrel::SeedLayout layout;
    std::string error;
    EXPECT_EQ(
        ferrel::ReadSeedLayout(Seed(GetParam().files, GetParam().top), ".ferrel", layout, error),
        GetParam().accepted)
        << error;
}

const LayoutCase kLayoutCases[] = {
    {"plain nested files", {{{"a.txt"}}, {{"sub", "b.bin"}}, {{".pad", "7"}, "p"}}, true},
    {"a parent element", {{{"..", "escape.txt"}}}, false},
    {"a parent element deeper down", {{{"sub", "..", "..", "x"}}}, false},
    {"an absolute element", {{{"/etc/passwd"}}}, false},
    {"a dot element", {{{".", "x"}}}, false},
    {"an empty element", {{{"sub", ""}}}, false},
    {"a backslash", {{{"..\\x"}}}, false},
    {"a drive letter", {{{"C:", "x"}}}, false},
    {"a line feed (would break reply lines)", {{{"a\nb"}}}, false},
    {"a symbolic link", {{{"link"}, "l"}}, false},
    {"two files on one path", {{{"a"}}, {{"a"}}}, false},
    {"a file in the engine's own folder", {{{".Ferrel", "resume.dat"}}}, false},
    {"a file without a path", {{{}}}, false},
    {"a file that is also a folder", {{{"a"}}, {{"a", "b"}}}, false},
    {"a folder listed before its namesake file", {{{"a", "b"}}, {{"a"}}}, false},
    {"a name that only starts like another", {{{"a"}}, {{"a.d", "b"}}, {{"ab"}}}, true},
    {"UTF-8 names", {{{"\xe6\x95\xb0\xe6\x8d\xae", "\xe5\xa3\xb0.bin"}}}, true},
    {"a name that is not UTF-8 (GBK)", {{{"\xca\xfd\xbe\xdd.bin"}}}, false},
    {"a folder that is not UTF-8", {{{"\xff", "a.bin"}}}, false},
    {"a top name of \"..\"", {{{"a.txt"}}}, false, ".."},
    {"an empty top name", {{{"a.txt"}}}, false, ""},
    {"a top name that is not UTF-8", {{{"a.txt"}}}, false, "\xc0\xaf"},
};

INSTANTIATE_TEST_SUITE_P(Table, SeedLayoutTest, testing::ValuesIn(kLayoutCases));

}  // namespace
