// Signed patch updates over BitTorrent through the updater built to take its
// trusted-keys file from ZORNIA_TRUSTED_KEYS_FILE, in console mode: a private
// swarm on loopback seeds the patch, nginx serves torrents, lists and
// signatures made with the real minisign.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "korvel/update/md5.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The script's option word for ["--bind", "127.0.0.1"].
const std::string kLoopbackOnly = "gLlJQcx4CMuAjL3ITMAAAAJgVAxRmbpJWLtAAAAYAWoAQcdJAg";

std::string Md5Of(const std::string& bytes) {
    return Md5Hex(bytes.data(), bytes.size());
}

class BtSignedUpdateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new TempDir;
        const TempDir& w = *work_;
        w.Write("v100/readme.txt", "Zornia client 1.0.0\n");
        w.Write("v100/maps/world.map", RandomBytes(300000, 1));
        fs::copy(w.Sub("v100"), w.Sub("v101"), fs::copy_options::recursive);
        w.Write("v101/maps/harbour.map", RandomBytes(300000, 2));
        ASSERT_EQ(
            MakePatches(ZRPATCH_BINARY, w, {{"v100", "v101", "1.0.1", "lzo", "site/p/p101.dat"}}),
            "");
        ASSERT_EQ(MinisignKeyPair(w.Sub("publisher")), "");
        ASSERT_EQ(MinisignSign(w.Sub("publisher.key"), w.Sub("site/p/p101.dat"),
                               TrustedComment("p101.dat", 1700000000)),
                  "");
        // The swarm's copy altered, beside the publisher's signature of the
        // real one.
        const std::string good = ReadFile(w.Sub("site/p/p101.dat"));
        std::string altered = good;
        altered[altered.size() / 2] ^= 0x5a;
        w.Write("site/altered/p101.dat", altered);
        fs::copy_file(w.Sub("site/p/p101.dat.minisig"), w.Sub("site/altered/p101.dat.minisig"));

        swarm_ = new Swarm;
        ASSERT_TRUE(swarm_->started());
        std::string error;
        for (const char* dir : {"p", "altered"}) {
            const std::string file = w.Sub("site/" + std::string(dir) + "/p101.dat");
            ASSERT_EQ(MakeTorrent(ZRPATCH_BINARY, file, swarm_->Announce(), file + ".torrent"), "");
            ASSERT_TRUE(swarm_->Seed(file + ".torrent", fs::path(file).parent_path(), error))
                << error;
        }
        nginx_ = new NginxServer(w.Sub("site"));
        ASSERT_TRUE(nginx_->started());
        // One "bt" line per list: the file's address and its digest.
        const std::string size = std::to_string(good.size());
        for (const auto& [dir, bytes] : {std::pair{"p", good}, std::pair{"altered", altered}}) {
            const std::string url = nginx_->Url("/" + std::string(dir) + "/p101.dat");
            const std::string list = std::string(dir) + ".txt";
            w.Write("site/" + list, "##1 0 - - - - " + kLoopbackOnly + "\n1.0.1 " + url + " " +
                                        url + " " + Md5Of(bytes) + " " + size + " bt\n");
            ASSERT_EQ(MinisignSign(w.Sub("publisher.key"), w.Sub("site/" + list),
                                   TrustedComment(list, 1700000000)),
                      "");
        }
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete swarm_;
        delete work_;
    }

    void SetUp() override { ASSERT_TRUE(nginx_ && swarm_) << "the swarm or nginx did not start"; }

    RunResult Korvel(const TempDir& game, const TempDir& tmp, const std::string& list) {
        fs::copy(work_->Sub("v100"), game.path(), fs::copy_options::recursive);
        game.Write("update.ini",
                   "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/" + list) +
                       "\r\nPATCHDOWNLOADINFO=" + nginx_->Url("/patch_download") + "\r\n");
        game.Write("zorn.exe", "#!/bin/sh\necho \"$PWD\" >> \"" + tmp.Sub("started.txt") + "\"\n");
        ::chmod(game.Sub("zorn.exe").c_str(), 0755);
        ::chmod(tmp.Write("trusted-keys", ReadFile(work_->Sub("publisher.pub"))).c_str(), 0644);
        fs::create_directories(tmp.Sub("config"));
        return RunProgram({KORVEL_KEYED_BINARY, "1", game.path()},
                          {{"KORVEL_UI", "console"},
                           {"XDG_RUNTIME_DIR", tmp.path()},
                           {"TMPDIR", tmp.path() + "/"},
                           {"XDG_CONFIG_HOME", tmp.Sub("config")},
                           {"HOME", tmp.path()},
                           {"KORVEL_ANSWERS", "ok,no"},
                           {"ZORNIA_TRUSTED_KEYS_FILE", tmp.Sub("trusted-keys")},
                           {"PATH", std::getenv("PATH")}},
                          "", 90s);
    }

    static TempDir* work_;
    static Swarm* swarm_;
    static NginxServer* nginx_;
};

TempDir* BtSignedUpdateTest::work_ = nullptr;
Swarm* BtSignedUpdateTest::swarm_ = nullptr;
NginxServer* BtSignedUpdateTest::nginx_ = nullptr;

TEST_F(BtSignedUpdateTest, APatchFromTheSwarmIsCheckedAgainstThePublishersSignature) {
    struct Case {
        const char* list;
        bool applied;
        const char* shown;
    } cases[] = {
        {"p.txt", true, "更新成功!"},
        {"altered.txt", false, "┌─ 错误\n│ p101.dat 的签名无法验证\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        TempDir game, tmp;
        const RunResult run = Korvel(game, tmp, c.list);
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 253) << run.exitCode << run.err;
        EXPECT_NE(run.err.find(c.shown), std::string::npos) << run.err;
        EXPECT_EQ(HoldsTree(game.path(), work_->Sub(c.applied ? "v101" : "v100")), true);
        EXPECT_EQ(fs::exists(game.Sub("maps/harbour.map")), c.applied);
        EXPECT_EQ(fs::exists(game.Sub("download/p101.dat")), c.applied);
        EXPECT_EQ(!WaitForFile(tmp.Sub("started.txt")).empty(), c.applied);
    }
}

}  // namespace
