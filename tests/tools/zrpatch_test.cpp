#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include <libtorrent/torrent_info.hpp>

#include "korvel/update/md5.h"
#include "korvel/update/patch_body.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/patch_maker.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::TempDir;
using zrpatch::ByteRange;

RunResult Zrpatch(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ZRPATCH_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

std::string RandomBytes(std::mt19937& gen, std::size_t size) {
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

// What a MODI section of these runs does to old.
std::string ApplyRuns(std::string file, const std::vector<zrpatch::Run>& runs,
                      std::size_t finalSize) {
    std::size_t pos = 0;
    for (const auto& run : runs) {
        pos += run.skip;
        if (file.size() < pos + run.bytes.size())
            file.resize(pos + run.bytes.size());
        file.replace(pos, run.bytes.size(), run.bytes);
        pos += run.bytes.size();
    }
    file.resize(finalSize);
    return file;
}

TEST(ChangedRanges, JoinsOnlyGapsCheaperThanARunHeader) {
    const std::string old(40, '.');
    auto with = [&](std::initializer_list<std::size_t> changed, std::size_t size = 40) {
        std::string s = old;
        s.resize(size, '+');
        for (std::size_t i : changed)
            s[i] = '#';
        return s;
    };
    struct Case {
        const char* what;
        std::string newData;
        std::vector<ByteRange> ranges;
    } cases[] = {
        {"identical", old, {}},
        {"one byte", with({5}), {{5, 6}}},
        {"first and last byte", with({0, 39}), {{0, 1}, {39, 40}}},
        {"gap of 7 joined", with({5, 13}), {{5, 14}}},
        {"gap of 8 kept apart", with({5, 14}), {{5, 6}, {14, 15}}},
        {"grown", with({}, 45), {{40, 45}}},
        {"grown, change just before the tail", with({35}, 42), {{35, 42}}},
        {"grown, change well before the tail", with({20}, 42), {{20, 21}, {40, 42}}},
        {"shrunk, no change", with({}, 30), {}},
        {"shrunk, change", with({29}, 30), {{29, 30}}},
        {"emptied", "", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zrpatch::ChangedRanges(old, c.newData), c.ranges) << c.what;
    EXPECT_EQ(zrpatch::ChangedRanges("", "abc"), (std::vector<ByteRange>{{0, 3}}));
}

TEST(ChangedRanges, RunsRebuildTheNewFileAndWriteOnlyWhatChanged) {
    std::mt19937 gen(20240611);
    for (int round = 0; round < 300; ++round) {
        const std::size_t oldSize = gen() % 20000;
        std::string oldData = RandomBytes(gen, oldSize);
        std::string newData = oldData;
        // Clustered and scattered edits, then a size change either way.
        const int edits = static_cast<int>(gen() % 40);
        for (int e = 0; e < edits && !newData.empty(); ++e) {
            const std::size_t at = gen() % newData.size();
            const std::size_t len = std::min<std::size_t>(gen() % 20 + 1, newData.size() - at);
            for (std::size_t i = at; i < at + len; ++i)
                newData[i] = static_cast<char>(gen());
        }
        if (gen() % 3 == 0)
            newData.resize(gen() % (oldSize + 1));
        if (gen() % 3 == 0)
            newData += RandomBytes(gen, gen() % 5000);

        const auto ranges = zrpatch::ChangedRanges(oldData, newData);
        const auto runs = zrpatch::RunsFor(ranges, newData);
        ASSERT_EQ(ApplyRuns(oldData, runs, newData.size()), newData) << round;

        std::uint64_t previousEnd = 0;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            const ByteRange& r = ranges[i];
            ASSERT_LT(r.begin, r.end);
            if (i > 0) {
                ASSERT_GE(r.begin - previousEnd, kRunOverhead) << round;
            }
            // Each range starts and ends on a byte that had to be written.
            auto changed = [&](std::uint64_t at) {
                return at >= oldData.size() || oldData[at] != newData[at];
            };
            ASSERT_TRUE(changed(r.begin) && changed(r.end - 1)) << round;
            // Nothing between ranges differs.
            for (std::uint64_t at = previousEnd; at < r.begin; ++at)
                ASSERT_FALSE(changed(at));
            previousEnd = r.end;
        }
        for (std::uint64_t at = previousEnd; at < newData.size(); ++at)
            ASSERT_TRUE(at < oldData.size() && oldData[at] == newData[at]) << round;
    }
}

// A pair of client folders with every kind of change a release has.
struct FolderPair {
    TempDir old;
    TempDir now;
    std::vector<std::string> deleted;
    std::vector<std::string> readOnly;

    explicit FolderPair(unsigned seed) {
        std::mt19937 gen(seed);
        const std::string big = RandomBytes(gen, 300000);
        old.Write("data/big.dat", big);
        std::string bigNew = big;
        for (std::size_t at : {100u, 107u, 5000u, 5001u, 299999u})
            bigNew[at] ^= 0x5A;
        now.Write("data/big.dat", bigNew);

        const std::string grow = RandomBytes(gen, 5000);
        old.Write("grown.bin", grow);
        now.Write("grown.bin", grow + RandomBytes(gen, 777));
        old.Write("shrunk.bin", grow);
        now.Write("shrunk.bin", grow.substr(0, 1234));
        old.Write("rewritten.txt", RandomBytes(gen, 3000));
        now.Write("rewritten.txt", RandomBytes(gen, 2500));  // ADDF is smaller
        old.Write("same.txt", "unchanged");
        now.Write("same.txt", "unchanged");
        old.Write("empty-then-full", "");
        now.Write("empty-then-full", "content");
        old.Write("full-then-empty", "content");
        now.Write("full-then-empty", "");
        now.Write("new/deep/nested/file.dat", RandomBytes(gen, 10000));
        now.Write("new/empty.dat", "");
        now.Write("名字/文件.txt", "utf-8 names");
        old.Write("ro/locked.cfg", "setting=1\n");
        now.Write("ro/locked.cfg", "setting=2\n");
        readOnly.push_back("ro/locked.cfg");
        old.Write("gone/old.dat", "deleted in the release");
        deleted.push_back("gone/old.dat");
        for (const auto& name : readOnly)
            ::chmod(old.Sub(name).c_str(), 0444);
    }
};

std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files[e.path().lexically_relative(root).generic_string()] = ReadFile(e.path());
    return files;
}

TEST(Zrpatch, MakeThenApplyRebuildsTheNewFolder) {
    for (const char* codec : {"lzo", "bzip2"}) {
        FolderPair pair(7);
        TempDir work;
        const std::string patch = work.Sub("p103.dat");
        const RunResult made = Zrpatch({"make", "--from", pair.old.path(), "--to", pair.now.path(),
                                        "--version", "1.0.3", "--codec", codec, "-o", patch});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        EXPECT_NE(
            made.err.find("zrpatch: warning: deleted, a patch cannot remove it: gone/old.dat"),
            std::string::npos)
            << made.err;
        EXPECT_NE(made.out.find("MODI data/big.dat\n"), std::string::npos) << made.out;
        EXPECT_NE(made.out.find("ADDF rewritten.txt\n"), std::string::npos) << made.out;
        EXPECT_EQ(made.out.find("same.txt"), std::string::npos) << made.out;

        const RunResult info = Zrpatch({"info", patch});
        ASSERT_EQ(info.exitCode, 0) << info.err;
        EXPECT_NE(info.out.find(std::string("codec\t") + codec + "\n"), std::string::npos);
        EXPECT_NE(info.out.find("version\t1.0.3\n"), std::string::npos);
        // 100 and 107 join (gap 6), 5000-5001 is one run, the last byte its own.
        EXPECT_NE(info.out.find("section\tMODI\tdata/big.dat\tfinal=300000\tdata=35\truns=3\n"),
                  std::string::npos)
            << info.out;
        EXPECT_NE(info.out.find("section\tMODI\tshrunk.bin\tfinal=1234\tdata=0\truns=0\n"),
                  std::string::npos)
            << info.out;

        TempDir game;
        ASSERT_EQ(RunProgram({"cp", "-a", pair.old.path() + "/.", game.path()}).exitCode, 0);
        const RunResult applied =
            Zrpatch({"apply", patch, "--game", game.path(), "--version", "1.0.3"});
        ASSERT_EQ(applied.exitCode, 0) << applied.err;

        auto expected = Tree(pair.now.path());
        for (const auto& name : pair.deleted)
            expected[name] = ReadFile(pair.old.Sub(name));
        EXPECT_EQ(Tree(game.path()), expected) << codec;

        // Applying twice changes nothing more (ADDF rewrites, MODI writes the same bytes).
        ASSERT_EQ(
            Zrpatch({"apply", patch, "--game", game.path() + "/", "--version", "1.0.3"}).exitCode,
            0);
        EXPECT_EQ(Tree(game.path()), expected) << codec;
    }
}

TEST(Zrpatch, IdenticalFoldersGiveAnEmptyPatch) {
    TempDir a, b, work;
    a.Write("x/y.dat", "same");
    b.Write("x/y.dat", "same");
    const RunResult made = Zrpatch({"make", "--from", a.path(), "--to", b.path(), "--version",
                                    "2.1.0", "-o", work.Sub("p.dat")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.err, "");
    const RunResult info = Zrpatch({"info", work.Sub("p.dat")});
    EXPECT_NE(info.out.find("unpacked\t4\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("sections\t0\n"), std::string::npos) << info.out;
}

TEST(Zrpatch, OutputThatIsNoRegularFileIsWrittenToNotReplaced) {
    // "--body /dev/null" used to rename a plain file over the device.
    TempDir a, b, work;
    a.Write("x.dat", "old");
    b.Write("x.dat", "new bytes");
    ASSERT_EQ(Zrpatch({"make", "--from", a.path(), "--to", b.path(), "--version", "2.1.0", "-o",
                       work.Sub("p.dat")})
                  .exitCode,
              0);
    const std::string fifo = work.Sub("body");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const RunResult info = Zrpatch({"info", work.Sub("p.dat"), "--body", fifo});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    char buffer[4096];
    EXPECT_GT(::read(reader, buffer, sizeof buffer), 0);
    ::close(reader);
    EXPECT_FALSE(fs::exists(fifo + ".part"));
}

TEST(Zrpatch, EntryLineMatchesTheFile) {
    TempDir a, b, work;
    b.Write("f.dat", std::string(5000, 'q'));
    const std::string patch = work.Sub("a104.dat");
    ASSERT_EQ(
        Zrpatch({"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.4", "-o", patch})
            .exitCode,
        0);
    const RunResult entry =
        Zrpatch({"entry", patch, "--version", "1.0.4", "--bt-url", "http://bt.example/p/a104.dat",
                 "--http-url", "http://www.example/p/a104.dat", "--method", "bt"});
    ASSERT_EQ(entry.exitCode, 0) << entry.err;
    const std::string md5 = RunProgram({"md5sum", patch}).out.substr(0, 32);
    struct stat st;
    ASSERT_EQ(::stat(patch.c_str(), &st), 0);
    EXPECT_EQ(entry.out, "1.0.4 http://bt.example/p/a104.dat http://www.example/p/a104.dat " + md5 +
                             " " + std::to_string(st.st_size) + " bt\n");

    const RunResult wrong = Zrpatch({"entry", patch, "--version", "1.0.5", "--bt-url", "b/x",
                                     "--http-url", "h/x", "--method", "http"});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find("a104.dat版本号错误!"), std::string::npos) << wrong.err;
}

TEST(Zrpatch, CommandLineErrorsAndFailuresHaveTheirExitCodes) {
    TempDir a, b, work;
    a.Write("f", "1");
    b.Write("f", "2");
    const std::string patch = work.Sub("p.dat");
    ASSERT_EQ(Zrpatch({"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.3",
                       "--codec=bzip2", "--output", patch})
                  .exitCode,
              0);
    const std::string bad =
        work.Write("bad.dat", std::string("DURZ\x03\x00\x00\x01\x40\x00\x00\x00garbage", 19));
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string errPart;
    } cases[] = {
        {{}, 2, "usage: zrpatch"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"make", "--from", a.path(), "--to", b.path(), "-o", patch}, 2, "missing --version"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "1.0", "-o", patch},
         2,
         "version must be"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.3x", "-o", patch},
         2,
         "version must be"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "256.0.0", "-o", patch},
         2,
         "version must be"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "0.0.0", "-o", patch},
         2,
         "version must be"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.3", "--codec", "zip",
          "-o", patch},
         2,
         "codec must be"},
        {{"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.3", "--bogus", "1"},
         2,
         "unknown option --bogus"},
        {{"make", "--from", a.Sub("none"), "--to", b.path(), "--version", "1.0.3", "-o",
          work.Sub("q.dat")},
         1,
         "not a folder"},
        {{"apply", patch, "--version", "1.0.3"}, 2, "missing --game"},
        {{"apply", patch, "--game", a.path(), "--version", "1.0.2"}, 1, "p.dat版本号错误!"},
        {{"apply", work.Sub("none.dat"), "--game", a.path(), "--version", "1.0.3"},
         1,
         "打开更新数据文件[none.dat]失败!"},
        {{"info"}, 2, "exactly one patch file"},
        {{"info", bad}, 1, "bad.dat解压缩错误!"},
        {{"entry", patch, "--version", "1.0.3", "--bt-url", "b/x", "--http-url", "h x", "--method",
          "bt"},
         2,
         "blanks"},
        {{"entry", patch, "--version", "1.0.3", "--bt-url", "nofile/", "--http-url", "h/x",
          "--method", "bt"},
         2,
         "file name"},
        {{"entry", patch, "--version", "1.0.3", "--bt-url", "b/x", "--http-url", "h/x", "--method",
          "ftp"},
         2,
         "method must be"},
    };
    for (const auto& c : cases) {
        const RunResult r = Zrpatch(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.errPart << ": " << r.err;
        EXPECT_NE(r.err.find(c.errPart), std::string::npos) << c.errPart << ": " << r.err;
    }
    EXPECT_NE(::access(work.Sub("q.dat").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(a.Sub("f")), "1");  // the failed apply touched nothing

    for (const char* command : {"make", "apply", "info", "entry"}) {
        const RunResult help = Zrpatch({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: zrpatch ") + command, 0), 0u) << help.out;
    }
    EXPECT_EQ(Zrpatch({"--help"}).exitCode, 0);
}

TEST(Zrpatch, ChangesAPatchCannotExpressAreRefused) {
    TempDir a, b, work;
    a.Write("thing", "a file");
    b.Write("thing/inside.dat", "now a folder");
    const RunResult r = Zrpatch({"make", "--from", a.path(), "--to", b.path(), "--version", "1.0.3",
                                 "-o", work.Sub("p.dat")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("a file became a folder"), std::string::npos) << r.err;
    EXPECT_NE(::access(work.Sub("p.dat").c_str(), F_OK), 0);
}

}  // namespace

namespace {

std::string Sha1(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), size);
}

TEST(ZrpatchTorrent, VersionOneTorrentOfTheFileWithTrackerAndWebSeed) {
    TempDir work;
    // Not a whole number of pieces: the last piece is short.
    std::mt19937 gen(7);
    const std::string data = RandomBytes(gen, 3 * 1024 * 1024 + 12345);
    const std::string file = work.Write("p/a103.dat", data);
    const std::string out = work.Sub("a103.dat.torrent");
    const RunResult r = Zrpatch({"torrent", file, "--tracker", "http://127.0.0.1:6969/announce",
                                 "--web-seed", "http://127.0.0.1:8080/p/a103.dat", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    lt::error_code ec;
    const lt::torrent_info info(out, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_TRUE(info.info_hashes().has_v1());
    EXPECT_FALSE(info.info_hashes().has_v2());
    ASSERT_EQ(info.num_files(), 1);
    EXPECT_EQ(info.files().file_path(lt::file_index_t{0}), "a103.dat");
    EXPECT_EQ(info.total_size(), static_cast<std::int64_t>(data.size()));
    ASSERT_EQ(info.trackers().size(), 1u);
    EXPECT_EQ(info.trackers()[0].url, "http://127.0.0.1:6969/announce");
    ASSERT_EQ(info.web_seeds().size(), 1u);
    EXPECT_EQ(info.web_seeds()[0].url, "http://127.0.0.1:8080/p/a103.dat");
    ASSERT_GT(info.num_pieces(), 2);
    for (lt::piece_index_t i{0}; i < info.end_piece(); ++i) {
        const auto at = static_cast<std::size_t>(static_cast<int>(i)) *
                        static_cast<std::size_t>(info.piece_length());
        ASSERT_EQ(
            info.hash_for_piece(i).to_string(),
            Sha1(std::string_view(data).substr(at, static_cast<std::size_t>(info.piece_size(i)))))
            << static_cast<int>(i);
    }
    std::ostringstream hash;
    hash << info.info_hashes().v1;
    EXPECT_EQ(r.out, "written " + out + " info-hash " + hash.str() + " pieces " +
                         std::to_string(info.num_pieces()) + " piece-length " +
                         std::to_string(info.piece_length()) + "\n");

    // Without a web seed there is none in the torrent.
    ASSERT_EQ(Zrpatch({"torrent", file, "--tracker", "udp://127.0.0.1:6969", "-o", out}).exitCode,
              0);
    const lt::torrent_info plain(out, ec);
    ASSERT_FALSE(ec);
    EXPECT_TRUE(plain.web_seeds().empty());
    EXPECT_EQ(plain.info_hashes().v1, info.info_hashes().v1);  // same file, same info
}

TEST(ZrpatchTorrent, RefusesWhatItCannotMake) {
    TempDir work;
    const std::string file = work.Write("a.dat", "patch");
    const std::string empty = work.Write("empty.dat", "");
    const std::string out = work.Sub("out.torrent");
    const std::string tracker = "http://127.0.0.1:6969/announce";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string errPart;
    } cases[] = {
        {{"torrent", file, "-o", out}, 2, "missing --tracker"},
        {{"torrent", file, "--tracker", tracker}, 2, "missing -o"},
        {{"torrent", "--tracker", tracker, "-o", out}, 2, "exactly one patch file"},
        {{"torrent", file, file, "--tracker", tracker, "-o", out}, 2, "exactly one patch file"},
        {{"torrent", file, "--tracker", "127.0.0.1:6969", "-o", out}, 2, "tracker must be"},
        {{"torrent", file, "--tracker", "http://", "-o", out}, 2, "tracker must be"},
        {{"torrent", file, "--tracker", tracker, "--web-seed", "ftp://h/a.dat", "-o", out},
         2,
         "web seed must be"},
        {{"torrent", file, "--tracker", tracker, "--web-seed", "http://h/a b.dat", "-o", out},
         2,
         "web seed must be"},
        {{"torrent", work.Sub("none.dat"), "--tracker", tracker, "-o", out}, 1, "cannot read"},
        {{"torrent", work.path(), "--tracker", tracker, "-o", out}, 1, "is not a file"},
        {{"torrent", empty, "--tracker", tracker, "-o", out}, 1, "is empty"},
        {{"torrent", file, "--tracker", tracker, "-o", work.Sub("no/such/dir/x.torrent")},
         1,
         "cannot write"},
    };
    for (const auto& c : cases) {
        const RunResult r = Zrpatch(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.errPart << ": " << r.err;
        EXPECT_NE(r.err.find(c.errPart), std::string::npos) << c.errPart << ": " << r.err;
    }
    EXPECT_NE(::access(out.c_str(), F_OK), 0);
    const RunResult help = Zrpatch({"torrent", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: zrpatch torrent", 0), 0u) << help.out;
}

TEST(ZrpatchSeed, WritesTheSeedOfTheFolderAndItsDigest) {
    TempDir work;
    work.Write("client/zorn.exe", "program");
    work.Write("client/data/a.pak", std::string(70000, 'a'));
    work.Write("client/.ferrel/resume.dat", "the engine's own");
    const std::string out = work.Sub("zornfix.data");
    const RunResult r = Zrpatch(
        {"seed", work.Sub("client/"), "--web-seed", "http://127.0.0.1:8080/files", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    const std::string seed = ReadFile(out);
    const std::string hex = Md5Hex(seed.data(), seed.size());
    EXPECT_EQ(ReadFile(out + ".md5"), hex + "\n");
    EXPECT_EQ(r.out.rfind("written " + out + " md5 " + hex + " info-hash ", 0), 0u) << r.out;

    lt::error_code ec;
    const lt::torrent_info info(out, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_FALSE(info.info_hashes().has_v2());
    EXPECT_EQ(info.name(), "client");
    std::vector<std::string> files;
    for (const lt::file_index_t i : info.files().file_range())
        if (!info.files().pad_file_at(i))
            files.push_back(info.files().file_path(i));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"client/data/a.pak", "client/zorn.exe"}));
    EXPECT_TRUE(info.trackers().empty());
    ASSERT_EQ(info.web_seeds().size(), 1u);
    EXPECT_EQ(info.web_seeds()[0].url, "http://127.0.0.1:8080/files/");
}

TEST(ZrpatchSeed, RefusesWhatItCannotMake) {
    TempDir work;
    const std::string file = work.Write("client/a.dat", "x");
    ::mkdir(work.Sub("nothing").c_str(), 0755);
    work.Write("gbk/ok.txt", "x");
    work.Write("gbk/sub/\xca\xfd\xbe\xdd.bin", "x");
    work.Write("backslash/a\\b.txt", "x");
    work.Write("\xff/a.txt", "x");
    const std::string out = work.Sub("zornfix.data");
    const std::string web = "http://127.0.0.1:8080";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string errPart;
    } cases[] = {
        {{"seed", work.Sub("client"), "-o", out}, 2, "missing --web-seed"},
        {{"seed", work.Sub("client"), "--web-seed", "ftp://h/", "-o", out}, 2, "web seed must be"},
        {{"seed", work.Sub("client"), "--web-seed", web, "--tracker", "h:1", "-o", out},
         2,
         "tracker must be"},
        {{"seed", file, "--web-seed", web, "-o", out}, 1, "is not a folder"},
        {{"seed", work.Sub("nothing"), "--web-seed", web, "-o", out}, 1, "holds no file"},
        {{"seed", work.Sub("gbk"), "--web-seed", web, "-o", out}, 1, "is not UTF-8; rename it"},
        {{"seed", work.Sub("backslash"), "--web-seed", web, "-o", out},
         1,
         "a\\b.txt: the name holds a backslash"},
        {{"seed", work.Sub("\xff"), "--web-seed", web, "-o", out}, 1, "is not UTF-8"},
    };
    for (const auto& c : cases) {
        const RunResult r = Zrpatch(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.errPart << ": " << r.err;
        EXPECT_NE(r.err.find(c.errPart), std::string::npos) << c.errPart << ": " << r.err;
    }
    EXPECT_NE(::access(out.c_str(), F_OK), 0);
    EXPECT_NE(::access((out + ".md5").c_str(), F_OK), 0);
}

}  // namespace
