// Patch updates with publisher signatures through the updater built to take
// its trusted-keys file from ZORNIA_TRUSTED_KEYS_FILE, in console mode,
// against nginx on loopback; lists and patches signed with the real minisign.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "korvel/app/patch_worker.h"
#include "korvel/update/md5.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Md5Hex(const std::string& bytes) {
    return ::Md5Hex(bytes.data(), bytes.size());
}

void CopyTree(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// What the test's trusted-keys file holds.
enum class Keys { Publisher, None, Empty, Unsafe };

class SignedUpdateTest : public ::testing::Test {
  protected:
    static constexpr long long kSigned = 1700000000;

    static void SetUpTestSuite() {
        work_ = new TempDir;
        const TempDir& w = *work_;
        w.Write("v100/readme.txt", "Zornia client 1.0.0\n");
        w.Write("v100/data/b.bin", RandomBytes(100000, 1));
        CopyTree(w.Sub("v100"), w.Sub("v101"));
        w.Write("v101/readme.txt", "Zornia client 1.0.1\n");
        CopyTree(w.Sub("v101"), w.Sub("v102"));
        w.Write("v102/data/c.dat", RandomBytes(5000, 2));
        ASSERT_EQ(MakePatches(ZRPATCH_BINARY, w,
                              {{"v100", "v101", "1.0.1", "lzo", "site/p/p101.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/p/p102.dat"}}),
                  "");
        ASSERT_EQ(MinisignKeyPair(w.Sub("publisher")), "");
        ASSERT_EQ(MinisignKeyPair(w.Sub("stranger")), "");
        for (const char* name : {"p101.dat", "p102.dat"})
            ASSERT_EQ(Sign("p/" + std::string(name), TrustedComment(name, kSigned)), "");

        // The second patch as an attacker would serve it: its bytes changed
        // (the list names their digest), the publisher's signature beside it;
        // without any signature; signed for another file's name.
        std::string altered = ReadFile(w.Sub("site/p/p102.dat"));
        altered[altered.size() / 2] ^= 0x5a;
        w.Write("site/altered/p102.dat", altered);
        fs::copy_file(w.Sub("site/p/p102.dat.minisig"), w.Sub("site/altered/p102.dat.minisig"));
        fs::create_directories(w.Sub("site/nosig"));
        fs::copy_file(w.Sub("site/p/p102.dat"), w.Sub("site/nosig/p102.dat"));
        fs::create_directories(w.Sub("site/renamed"));
        fs::copy_file(w.Sub("site/p/p102.dat"), w.Sub("site/renamed/p102.dat"));
        ASSERT_EQ(Sign("renamed/p102.dat", TrustedComment("p101.dat", kSigned)), "");

        nginx_ = new NginxServer(w.Sub("site"));
        ASSERT_TRUE(nginx_->started());
        const std::string p101 = Entry("p/p101.dat", "1.0.1");
        const std::string header = "##1 0 - - - - opt\n";
        const auto list = [&](const std::string& name, const std::string& second) {
            w.Write("site/" + name, header + p101 + Entry(second, "1.0.2"));
        };
        list("signed.txt", "p/p102.dat");
        // The list line of the altered file: its address and its digest
        // (zrpatch would not describe a patch it cannot read).
        std::string alteredLine = Entry("p/p102.dat", "1.0.2");
        for (std::size_t at; (at = alteredLine.find("/p/p102.dat")) != std::string::npos;)
            alteredLine.replace(at, 11, "/altered/p102.dat");
        const std::string digest = Md5Hex(ReadFile(w.Sub("site/p/p102.dat")));
        alteredLine.replace(alteredLine.find(digest), digest.size(), Md5Hex(altered));
        w.Write("site/altered.txt", header + p101 + alteredLine);
        list("nosig_patch.txt", "nosig/p102.dat");
        list("renamed.txt", "renamed/p102.dat");
        list("stranger.txt", "p/p102.dat");
        list("expired.txt", "p/p102.dat");
        list("unsigned.txt", "p/p102.dat");
        w.Write("site/later.txt", header);  // nothing newer than 1.0.0
        for (const char* name : {"signed.txt", "altered.txt", "nosig_patch.txt", "renamed.txt"})
            ASSERT_EQ(Sign(name, TrustedComment(name, kSigned)), "");
        ASSERT_EQ(Sign("later.txt", TrustedComment("later.txt", kSigned + 1000)), "");
        ASSERT_EQ(
            Sign("expired.txt", TrustedComment("expired.txt", kSigned, std::time(nullptr) - 3600)),
            "");
        ASSERT_EQ(MinisignSign(w.Sub("stranger.key"), w.Sub("site/stranger.txt"),
                               TrustedComment("stranger.txt", kSigned)),
                  "");
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete work_;
    }

    static std::string Sign(const std::string& sitePath, const std::string& comment) {
        return MinisignSign(work_->Sub("publisher.key"), work_->Sub("site/" + sitePath), comment);
    }
    static std::string Entry(const std::string& sitePath, const std::string& version) {
        const std::string line =
            UpdateListEntry(ZRPATCH_BINARY, work_->Sub("site/" + sitePath), version,
                            "http://bt.example/" + sitePath, nginx_->Url("/" + sitePath));
        EXPECT_FALSE(line.empty()) << sitePath;
        return line;
    }

    // A fresh game folder at 1.0.0 reading list, and the keys file.
    void Prepare(const std::string& list, Keys keys) {
        fs::remove_all(game_.path());
        fs::create_directory(game_.path());
        CopyTree(work_->Sub("v100"), game_.path());
        game_.Write("zorn.exe",
                    "#!/bin/sh\necho \"$PWD\" >> \"" + tmp_.Sub("started.txt") + "\"\n");
        ::chmod(game_.Sub("zorn.exe").c_str(), 0755);
        fs::remove(tmp_.Sub("started.txt"));
        fs::remove(tmp_.Sub("opened.txt"));
        // Stand-in for the desktop's opener: notes what it was asked to open.
        tmp_.Write("bin/xdg-open",
                   "#!/bin/sh\necho \"$1\" >> \"" + tmp_.Sub("opened.txt") + "\"\n");
        ::chmod(tmp_.Sub("bin/xdg-open").c_str(), 0755);
        UseList(list);
        fs::remove(KeysFile());
        if (keys == Keys::None)
            return;
        tmp_.Write("trusted-keys",
                   keys == Keys::Empty ? "# no keys yet\n" : ReadFile(work_->Sub("publisher.pub")));
        ::chmod(KeysFile().c_str(), keys == Keys::Unsafe ? 0666 : 0644);
    }
    void UseList(const std::string& list) {
        game_.Write("update.ini",
                    "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/" + list) +
                        "\r\nPATCHDOWNLOADINFO=" + nginx_->Url("/patch_download") + "\r\n");
    }
    std::string KeysFile() const { return tmp_.Sub("trusted-keys"); }

    RunResult Korvel() {
        return RunProgram({KORVEL_KEYED_BINARY, "1", game_.path()},
                          {{"KORVEL_UI", "console"},
                           {"XDG_RUNTIME_DIR", tmp_.path()},
                           {"TMPDIR", tmp_.path()},
                           {"KORVEL_ANSWERS", ""},
                           {"ZORNIA_TRUSTED_KEYS_FILE", KeysFile()},
                           {"PATH", tmp_.Sub("bin") + ":" + std::getenv("PATH")}},
                          "", 60s);
    }

    bool GameEquals(const std::string& version) const {
        return HoldsTree(game_.path(), work_->Sub(version));
    }

    static TempDir* work_;
    static NginxServer* nginx_;
    TempDir game_, tmp_;
};

TempDir* SignedUpdateTest::work_ = nullptr;
NginxServer* SignedUpdateTest::nginx_ = nullptr;

TEST_F(SignedUpdateTest, OnlyWhatThePublisherSignedIsApplied) {
    struct Case {
        const char* list;
        Keys keys;
        const char* box;    // in the output
        bool applied;       // both patches, and the game started
        bool patchDeleted;  // download/p102.dat refused and deleted
    } cases[] = {
        {"signed.txt", Keys::Publisher, "更新成功!", true, false},
        {"altered.txt", Keys::Publisher, "p102.dat 的签名无法验证\n│ 程序将自动删除p102.dat", false,
         true},
        {"nosig_patch.txt", Keys::Publisher, "找不到 p102.dat 的签名", false, true},
        {"renamed.txt", Keys::Publisher, "p102.dat 的签名无法验证", false, true},
        {"stranger.txt", Keys::Publisher, "stranger.txt 的签名无法验证\n│ 是否查看手动更新指南？",
         false, false},
        {"expired.txt", Keys::Publisher, "expired.txt 的签名已过期", false, false},
        {"unsigned.txt", Keys::Publisher, "找不到 unsigned.txt 的签名", false, false},
        {"signed.txt", Keys::Unsafe, "信任密钥文件不安全, 无法验证 signed.txt 的签名", false,
         false},
        // No keys file, or one without a key: no checks at all.
        {"unsigned.txt", Keys::None, "更新成功!", true, false},
        {"unsigned.txt", Keys::Empty, "更新成功!", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.list) + " keys " + std::to_string(static_cast<int>(c.keys)));
        Prepare(c.list, c.keys);
        const RunResult run = Korvel();
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find(c.box), std::string::npos) << run.err;
        EXPECT_TRUE(GameEquals(c.applied ? "v102" : "v100"));
        EXPECT_EQ(fs::exists(tmp_.Sub("started.txt")), c.applied);
        // A refused list ends as one that could not be fetched: the guide
        // question (answered yes).
        if (!c.applied && !c.patchDeleted) {
            EXPECT_EQ(WaitForFile(tmp_.Sub("opened.txt")), ManualGuideUrl() + "\n");
        }
        if (c.patchDeleted) {
            EXPECT_TRUE(fs::exists(game_.Sub("download/p101.dat")));
            EXPECT_FALSE(fs::exists(game_.Sub("download/p102.dat")));
        }
        if (!c.applied) {
            EXPECT_EQ(run.err.find("更新成功!"), std::string::npos) << run.err;
        }
    }
}

TEST_F(SignedUpdateTest, AListOlderThanTheLastAcceptedIsRefused) {
    Prepare("later.txt", Keys::Publisher);
    RunResult run = Korvel();
    EXPECT_NE(run.err.find("没有补丁需要更新"), std::string::npos) << run.err;

    // signed.txt was signed before later.txt: played back, it is refused.
    UseList("signed.txt");
    run = Korvel();
    EXPECT_NE(run.err.find("signed.txt 的签名时间早于上次接受的更新列表"), std::string::npos)
        << run.err;
    EXPECT_TRUE(GameEquals("v100"));
    EXPECT_FALSE(fs::exists(game_.Sub("download/p101.dat")));

    // The newest list is accepted again.
    UseList("later.txt");
    run = Korvel();
    EXPECT_NE(run.err.find("没有补丁需要更新"), std::string::npos) << run.err;
}

}  // namespace
