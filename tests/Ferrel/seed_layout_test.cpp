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

// A bencoded seed whose top folder is "client" and whose files are files.
std::string Seed(const std::vector<SeedEntry>& files) {
    lt::entry root;
    lt::entry& info = root["info"];
    info["name"] = "client";
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
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class SeedLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(SeedLayoutTest, AcceptsOnlyPlainPaths) {
    ferrel::SeedLayout layout;
    std::string error;
    EXPECT_EQ(ferrel::ReadSeedLayout(Seed(GetParam().files), ".ferrel", layout, error),
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
};

INSTANTIATE_TEST_SUITE_P(Table, SeedLayoutTest, testing::ValuesIn(kLayoutCases));

}  // namespace
