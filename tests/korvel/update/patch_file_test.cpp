#include "korvel/update/patch_file.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/message_box.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/patch_writer.h"

namespace {

using platform::MbButtons;
using platform::MbIcon;
using testing_support::ReadFile;
using testing_support::TempDir;
using zrpatch::Codec;
using zrpatch::EncodeRun;
using zrpatch::EncodeSection;

constexpr std::uint32_t kVersion = 0x01000003;
const char* const kHint = "失败!\n请确认更新时游戏不在运行。";

std::string Packed(Codec codec, const std::string& body) {
    std::string packed, error;
    EXPECT_TRUE(zrpatch::PackBody(codec, body, packed, error)) << error;
    return packed;
}

std::string Le32(std::uint32_t v) {
    std::string s;
    zrpatch::AppendLe32(s, v);
    return s;
}

std::string Section(std::uint32_t tag, const std::string& name, const std::string& data,
                    std::uint32_t finalSize = 0) {
    return EncodeSection(tag, finalSize, name + '\0', data);
}

const std::string kEnd = Le32(0);

class PatchFileTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMessageBoxes(&boxes_); }
    void TearDown() override { platform::SetMessageBoxes(nullptr); }

    std::string GameDir() const { return game_.path() + "/"; }
    std::string Game(const std::string& name) const { return game_.Sub(name); }

    void WriteRaw(const std::string& bytes, const std::string& name = "p.dat") {
        testing_support::WriteFile(download_.Sub(name), bytes);
    }
    void WritePatch(const std::string& body, Codec codec = Codec::Lzo,
                    std::uint32_t version = kVersion) {
        WriteRaw(zrpatch::PatchFileBytes(zrpatch::CodecMagic(codec), version,
                                         static_cast<std::uint32_t>(body.size()),
                                         Packed(codec, body)));
    }
    bool Apply(std::uint32_t version = kVersion, const std::string& name = "p.dat") {
        boxes_.Clear();
        return ApplyPatchFile(name, version, download_.path(), GameDir());
    }
    // The one message shown, or "" when none was.
    std::string Message() const {
        const auto shown = boxes_.Shown();
        if (shown.empty())
            return "";
        EXPECT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, "korvel");
        EXPECT_EQ(shown[0].icon, MbIcon::Error);
        EXPECT_EQ(shown[0].buttons, MbButtons::Ok);
        return shown[0].text;
    }

    TempDir game_;
    TempDir download_;
    platform::RecordingMessageBoxes boxes_;
};

TEST_F(PatchFileTest, HeaderAndUnpackingFailures) {
    const std::string body = Section(kSectionAdd, "a.txt", "new") + kEnd;
    const std::string lzo = Packed(Codec::Lzo, body);
    const std::string bz = Packed(Codec::Bzip2, body);
    const auto size = static_cast<std::uint32_t>(body.size());
    std::string corruptBz = bz;
    corruptBz[corruptBz.size() / 2] ^= 0x55;
    std::string corruptLzo = lzo;
    corruptLzo.resize(lzo.size() - 3);  // end-of-stream marker cut off
    const std::string bigBody = Section(kSectionAdd, "a.txt", std::string(1000, 'z')) + kEnd;

    struct Case {
        const char* what;
        std::string file;
        std::string message;
    } cases[] = {
        {"short header", std::string("DURZ\x03\x00\x00\x01", 8), ""},
        {"header only, body missing", zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size, ""),
         "p.dat解压缩错误!"},
        {"unknown magic", zrpatch::PatchFileBytes(0x5A525558, kVersion, size, lzo),
         "p.dat不是合法的更新文件!"},
        {"magic in the wrong byte order", zrpatch::PatchFileBytes(0x4455525A, kVersion, size, lzo),
         "p.dat不是合法的更新文件!"},
        {"version one above", zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion + 1, size, lzo),
         "p.dat版本号错误!"},
        {"version one below", zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion - 1, size, bz),
         "p.dat版本号错误!"},
        {"bzip2 stream damaged",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size, corruptBz), "p.dat解压错误!"},
        {"bzip2 stream cut",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size, bz.substr(0, bz.size() - 10)),
         "p.dat解压错误!"},
        {"bzip2 one byte longer than declared",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size - 1, bz),
         "p.dat解压错误! 长度不匹配"},
        {"bzip2 shorter than declared",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size + 1, bz),
         "p.dat解压错误! 长度不匹配"},
        {"bzip2 beyond the slack",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size, Packed(Codec::Bzip2, bigBody)),
         "p.dat解压错误!"},
        {"bzip2 body under an LZO magic",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size, bz), "p.dat解压缩错误!"},
        {"LZO longer than declared",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size - 1, lzo), "p.dat解压缩错误!"},
        {"LZO shorter than declared",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size + 1, lzo), "p.dat解压缩错误!"},
        {"LZO overrunning its buffer",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size, Packed(Codec::Lzo, bigBody)),
         "p.dat解压缩错误!"},
        {"LZO without its end marker",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, size, corruptLzo), "p.dat解压缩错误!"},
        {"LZO claiming more than 1000 times its size",
         zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, 1000 * 40 + 1, std::string(40, 'x')),
         "p.dat解压缩错误!"},
        {"LZO claiming 4 GiB", zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion, 0xFFFFFFFF, lzo),
         "p.dat解压缩错误!"},
        {"bzip2 claiming more than 1 GiB",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, (1u << 30) + 1, bz),
         "p.dat解压错误! 长度不匹配"},
        {"bzip2 claiming 4 GiB",
         zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, 0xFFFFFFFF, bz),
         "p.dat解压错误! 长度不匹配"},
    };
    for (const auto& c : cases) {
        WriteRaw(c.file);
        EXPECT_FALSE(Apply()) << c.what;
        EXPECT_EQ(Message(), c.message) << c.what;
        EXPECT_FALSE(::access(Game("a.txt").c_str(), F_OK) == 0) << c.what;
    }

    // The same bodies with honest headers do apply.
    WriteRaw(zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion, size, bz));
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFile(Game("a.txt")), "new");
}

TEST_F(PatchFileTest, SizeIsBoundByMemoryNotByAFixedCap) {
    // Over 1 GiB unpacked loads (what the body holds does not matter here).
    const std::string big((std::size_t{1} << 30) + 4096, '\0');
    {
        // The publisher's best-ratio packer takes long on this much: the
        // fast one makes the same format.
        std::string packed(big.size() / 16, '\0');
        std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
        lzo_uint packedSize = packed.size();
        ASSERT_EQ(lzo1x_1_compress(reinterpret_cast<const unsigned char*>(big.data()), big.size(),
                                   reinterpret_cast<unsigned char*>(packed.data()), &packedSize,
                                   work.data()),
                  LZO_E_OK);
        packed.resize(packedSize);
        WriteRaw(zrpatch::PatchFileBytes(kPatchMagicLzo, kVersion,
                                         static_cast<std::uint32_t>(big.size()), packed));
    }
    LoadedPatch loaded;
    std::string error;
    EXPECT_TRUE(LoadPatchFile(download_.path(), "p.dat", &kVersion, loaded, error)) << error;
    EXPECT_EQ(loaded.Body(), big);

    // A patch the machine cannot hold says so, for either codec.
    const std::string body = Section(kSectionAdd, "a.txt", std::string(4000, 'a')) + kEnd;
    for (Codec codec : {Codec::Lzo, Codec::Bzip2}) {
        WritePatch(body, codec);
        const std::uint64_t packed =
            ::testing_support::ReadFile(download_.Sub("p.dat")).size() - 12;
        const std::uint64_t needed =
            packed + body.size() + (codec == Codec::Lzo ? kLzoSlack : kBzip2Slack);
        SetPatchMemoryLimit(needed - 1);
        EXPECT_FALSE(Apply());
        EXPECT_EQ(Message(), "p.dat内存不足! 解压需要" + std::to_string(needed) + "字节内存");
        SetPatchMemoryLimit(needed);
        EXPECT_TRUE(Apply());
        SetPatchMemoryLimit(0);
    }
}

TEST_F(PatchFileTest, MissingPatchFileIsReportedByName) {
    EXPECT_FALSE(Apply(kVersion, "absent.dat"));
    EXPECT_EQ(Message(), std::string("打开更新数据文件[absent.dat]") + kHint);
    ::mkdir(download_.Sub("dir.dat").c_str(), 0755);
    EXPECT_FALSE(Apply(kVersion, "dir.dat"));
    EXPECT_EQ(Message(), std::string("打开更新数据文件[dir.dat]") + kHint);
}

TEST_F(PatchFileTest, ZeroTagAloneAppliesNothing) {
    for (Codec codec : {Codec::Lzo, Codec::Bzip2}) {
        WritePatch(kEnd, codec);
        EXPECT_TRUE(Apply());
        EXPECT_EQ(Message(), "");
    }
    EXPECT_EQ(::rmdir(game_.path().c_str()), 0);  // still empty
    ::mkdir(game_.path().c_str(), 0700);
}

TEST_F(PatchFileTest, BodyPackedByTheBzip2Program) {
    game_.Write("data/a.dat", std::string(20, '.'));
    const std::string body = Section(kSectionModify, "data/a.dat", EncodeRun(3, "abc"), 8) +
                             Section(kSectionAdd, "data/b.dat", "bee") + kEnd;
    const std::string plain = download_.Write("body", body);
    const auto bz = testing_support::RunProgram({"bzip2", "-9", "-k", "-c", plain});
    ASSERT_EQ(bz.exitCode, 0);
    WriteRaw(zrpatch::PatchFileBytes(kPatchMagicBzip2, kVersion,
                                     static_cast<std::uint32_t>(body.size()), bz.out));
    EXPECT_TRUE(Apply()) << Message();
    EXPECT_EQ(ReadFile(Game("data/a.dat")), "...abc..");
    EXPECT_EQ(ReadFile(Game("data/b.dat")), "bee");
}

TEST_F(PatchFileTest, ModifyRunsLengthsAndMissingTargets) {
    const std::string twenty = "abcdefghijklmnopqrst";
    struct Case {
        const char* what;
        std::string data;
        std::uint32_t finalSize;
        std::string expected;
    } cases[] = {
        {"runs relative to the previous write", EncodeRun(10, "XY") + EncodeRun(0, "123"), 20,
         "abcdefghijXY123pqrst"},
        {"truncated after the runs", EncodeRun(2, "ZZ"), 6, "abZZef"},
        {"truncated to nothing", "", 0, ""},
        {"extended without runs", "", 24, twenty + std::string(4, '\0')},
        {"a run beyond the end extends", EncodeRun(22, "!"), 23,
         twenty + std::string(2, '\0') + "!"},
        {"empty runs only move", EncodeRun(5, "") + EncodeRun(1, "Q"), 20, "abcdefQhijklmnopqrst"},
        {"final size below the last write", EncodeRun(18, "1234"), 19, "abcdefghijklmnopqr1"},
    };
    for (const auto& c : cases) {
        game_.Write("f.dat", twenty);
        WritePatch(Section(kSectionModify, "f.dat", c.data, c.finalSize) + kEnd);
        EXPECT_TRUE(Apply()) << c.what << ": " << Message();
        EXPECT_EQ(ReadFile(Game("f.dat")), c.expected) << c.what;
    }

    WritePatch(Section(kSectionModify, "sub/missing.dat", EncodeRun(0, "x"), 1) + kEnd);
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Message(), "打开要更新的文件[" + GameDir() + "sub/missing.dat]" + kHint);
    EXPECT_NE(::access(Game("sub").c_str(), F_OK), 0);  // MODI creates nothing
}

TEST_F(PatchFileTest, AddCreatesFoldersAndReplacesFiles) {
    game_.Write("data/old.dat", "a much longer old content");
    WritePatch(Section(kSectionAdd, "data/new/x.dat", "xx") +
               Section(kSectionAdd, "data/old.dat", "short") +
               Section(kSectionAdd, "empty.dat", "") + kEnd);
    EXPECT_TRUE(Apply()) << Message();
    EXPECT_EQ(ReadFile(Game("data/new/x.dat")), "xx");
    EXPECT_EQ(ReadFile(Game("data/old.dat")), "short");
    EXPECT_EQ(ReadFile(Game("empty.dat")), "");

    // A file where a folder is needed cannot be worked around.
    game_.Write("blocker", "");
    WritePatch(Section(kSectionAdd, "blocker/x.dat", "x") + kEnd);
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Message(), "增添文件[" + GameDir() + "blocker/x.dat]" + kHint);
}

TEST_F(PatchFileTest, ReadOnlyTargetsAreMadeWritable) {
    const std::string modified = game_.Write("ro/m.dat", "0123456789");
    const std::string replaced = game_.Write("ro/a.dat", "old");
    ASSERT_EQ(::chmod(modified.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(replaced.c_str(), 0400), 0);
    WritePatch(Section(kSectionModify, "ro/m.dat", EncodeRun(1, "x"), 10) +
                   Section(kSectionAdd, "ro/a.dat", "new") + kEnd,
               Codec::Bzip2);
    EXPECT_TRUE(Apply()) << Message();
    EXPECT_EQ(ReadFile(modified), "0x23456789");
    EXPECT_EQ(ReadFile(replaced), "new");
    struct stat st;
    ASSERT_EQ(::stat(modified.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat(replaced.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PatchFileTest, FailureInTheMiddleKeepsEarlierSectionsAndStops) {
    struct Case {
        const char* what;
        std::string second;
        std::string message;
    } cases[] = {
        {"MODI on a missing file", Section(kSectionModify, "nope.dat", "", 0),
         "打开要更新的文件[" + GameDir() + "nope.dat]" + kHint},
        {"unknown tag", Section(0x454C4544, "one.dat", ""), "p.dat含有不合法的数据节!"},
        {"traversal", Section(kSectionAdd, "../escape.dat", "x"), "p.dat含有不合法的数据节!"},
        // An empty name is the game folder itself: no file to open or make.
        {"MODI without a name", Section(kSectionModify, "", "", 0),
         "打开要更新的文件[" + GameDir() + "]" + kHint},
        {"ADDF without a name", Section(kSectionAdd, "", "x"),
         "增添文件[" + GameDir() + "]" + kHint},
    };
    for (const auto& c : cases) {
        ::unlink(Game("one.dat").c_str());
        ::unlink(Game("three.dat").c_str());
        WritePatch(Section(kSectionAdd, "one.dat", "1") + c.second +
                   Section(kSectionAdd, "three.dat", "3") + kEnd);
        EXPECT_FALSE(Apply()) << c.what;
        EXPECT_EQ(Message(), c.message) << c.what;
        EXPECT_EQ(ReadFile(Game("one.dat")), "1") << c.what;
        EXPECT_NE(::access(Game("three.dat").c_str(), F_OK), 0) << c.what;
    }
}

TEST_F(PatchFileTest, NamesThatLeaveTheGameFolderAreRefused) {
    TempDir outside;
    const std::string victim = outside.Write("victim.txt", "untouched");
    ASSERT_EQ(::symlink(outside.path().c_str(), Game("out").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), Game("victim.lnk").c_str()), 0);
    ASSERT_EQ(::symlink(outside.Sub("new.txt").c_str(), Game("dangling.lnk").c_str()), 0);
    ASSERT_EQ(::symlink("loop.lnk", Game("loop.lnk").c_str()), 0);
    game_.Write("inner/real.dat", "in");
    ASSERT_EQ(::symlink("inner", Game("inner.lnk").c_str()), 0);
    ASSERT_EQ(::symlink("inner/real.dat", Game("real.lnk").c_str()), 0);

    const std::string refused = "p.dat含有不合法的数据节!";
    struct Case {
        std::string name;
        bool allowed;
    } cases[] = {
        {"/../victim.txt", false},
        {victim, true},  // "//tmp/.../victim.txt" below the game folder
        {"/lead.dat", true},
        {"..", false},
        {"../victim.txt", false},
        {"a/../../victim.txt", false},
        {"a/..", false},
        {"\xB1/../../victim.txt", false},  // a lead byte does not hide the "/" from the system
        {"out/victim.txt", false},
        {"out/sub/new.txt", false},
        {"victim.lnk", false},
        {"dangling.lnk", false},
        {"loop.lnk", false},
        {"inner.lnk/added.dat", true},
        {"real.lnk", true},
        {"./dot.dat", true},
        {"a..b/..c/d..", true},
        {"sub//double.dat", true},
    };
    for (const auto& c : cases) {
        for (std::uint32_t tag : {kSectionAdd, kSectionModify}) {
            if (tag == kSectionModify && c.allowed)
                continue;  // targets may not exist
            WritePatch(Section(tag, c.name, tag == kSectionAdd ? "x" : EncodeRun(0, "x"), 1) +
                       kEnd);
            EXPECT_EQ(Apply(), c.allowed) << c.name;
            EXPECT_EQ(Message(), c.allowed ? "" : refused) << c.name;
        }
    }
    EXPECT_EQ(ReadFile(victim), "untouched");
    EXPECT_NE(::access(outside.Sub("new.txt").c_str(), F_OK), 0);
    EXPECT_NE(::access(outside.Sub("sub").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(Game("lead.dat")), "x");
    EXPECT_EQ(ReadFile(Game(victim.substr(1))), "x");
    EXPECT_EQ(ReadFile(Game("inner/added.dat")), "x");
    EXPECT_EQ(ReadFile(Game("inner/real.dat")), "x");
}

TEST_F(PatchFileTest, LyingLengthsInsideTheBody) {
    const std::string good = Section(kSectionAdd, "first.dat", "1");
    const std::string name = "t.dat";
    auto raw = [](std::uint32_t tag, std::uint32_t finalSize, std::uint32_t nameLength,
                  const std::string& rest) {
        return Le32(tag) + Le32(finalSize) + Le32(nameLength) + rest;
    };
    struct Case {
        const char* what;
        std::string tail;  // after one good section
    } cases[] = {
        {"no zero tag", ""},
        {"half a zero tag", std::string(2, '\0')},
        {"tag only", Le32(kSectionAdd)},
        {"name length beyond the body", raw(kSectionAdd, 0, 100, name + '\0' + Le32(0))},
        {"name length of 4 GiB", raw(kSectionAdd, 0, 0xFFFFFFFF, name + '\0' + Le32(0))},
        {"name without its zero byte", raw(kSectionAdd, 0, 5, name + Le32(0)) + kEnd},
        {"name length 0", raw(kSectionAdd, 0, 0, Le32(0)) + kEnd},
        {"data length beyond the body", raw(kSectionAdd, 0, 6, name + '\0' + Le32(50) + "abc")},
        {"data length of 4 GiB",
         raw(kSectionAdd, 0, 6, name + '\0' + Le32(0xFFFFFFFF) + "abc") + kEnd},
        {"data length missing", raw(kSectionAdd, 0, 6, name + '\0')},
        {"run longer than its field",
         Section(kSectionModify, "first.dat", Le32(0) + Le32(9) + "abc", 1) + kEnd},
        {"run length of 4 GiB",
         Section(kSectionModify, "first.dat", Le32(0) + Le32(0xFFFFFFFF) + "abc", 1) + kEnd},
        {"run header cut",
         Section(kSectionModify, "first.dat", EncodeRun(0, "a") + "xyz", 1) + kEnd},
        {"skips beyond a 32-bit file",
         Section(kSectionModify, "first.dat", EncodeRun(0xFFFFFFF0, "") + EncodeRun(0x20, "x"), 1) +
             kEnd},
        {"write ending beyond a 32-bit file",
         Section(kSectionModify, "first.dat", EncodeRun(0xFFFFFFFE, "xy"), 1) + kEnd},
    };
    for (const auto& c : cases) {
        for (Codec codec : {Codec::Lzo, Codec::Bzip2}) {
            ::unlink(Game("first.dat").c_str());
            WritePatch(good + c.tail, codec);
            EXPECT_FALSE(Apply()) << c.what;
            EXPECT_EQ(Message(), "p.dat含有不合法的数据节!") << c.what;
            EXPECT_EQ(ReadFile(Game("first.dat")), "1") << c.what;  // untouched by a bad MODI
            EXPECT_NE(::access(Game(name).c_str(), F_OK), 0) << c.what;
        }
    }

    // Right at the limit is fine: the file ends at 4 GiB - 1 (sparse), then
    // is cut back.
    WritePatch(good + Section(kSectionModify, "first.dat", EncodeRun(0xFFFFFFFE, "y"), 2) + kEnd);
    EXPECT_TRUE(Apply()) << Message();
    EXPECT_EQ(ReadFile(Game("first.dat")), std::string("1\0", 2));
}

TEST_F(PatchFileTest, NameFieldBytesAfterTheZeroAreIgnored) {
    WritePatch(EncodeSection(kSectionAdd, 0, std::string("n.dat\0junk/../x", 15), "v") + kEnd);
    EXPECT_TRUE(Apply()) << Message();
    EXPECT_EQ(ReadFile(Game("n.dat")), "v");
}

}  // namespace
