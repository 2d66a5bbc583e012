// The engine built to take its trusted-keys file from ZORNIA_TRUSTED_KEYS_FILE,
// against nginx serving a seed signed (or not) with the real minisign.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "Ferrel/seed_fetch.h"
#include "tests/Ferrel/engine_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/torrent_maker.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::EngineProcess;
using namespace testing_support;

class SeedSignatureTest : public testing::Test {
  protected:
    void SetUp() override {
        www_.Write("client/a.txt", "intact\n");
        www_.Write("client/sub/b.bin", RandomBytes(300 << 10, 1));
        nginx_ = std::make_unique<NginxServer>(www_.path());
        ASSERT_TRUE(nginx_->started());
        zrpatch::MadeTorrent made;
        std::string error;
        ASSERT_TRUE(zrpatch::MakeSeed({www_.Sub("client"), nginx_->Url("/"), ""}, made, error))
            << error;
        seed_ = made.document;
        ASSERT_EQ(MinisignKeyPair(keys_.Sub("publisher")), "");
        ::chmod(keys_.Write("trusted-keys", ReadFile(keys_.Sub("publisher.pub"))).c_str(), 0644);
        ::setenv("ZORNIA_TRUSTED_KEYS_FILE", keys_.Sub("trusted-keys").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("ZORNIA_TRUSTED_KEYS_FILE"); }

    // Serves seed with its digest; signs signedBytes (when not empty) as the
    // seed's signature.
    void Publish(const std::string& seed, const std::string& signedBytes) {
        WriteFile(www_.Sub("zornfix.data"), seed);
        WriteFile(www_.Sub("zornfix.data.md5"), ferrel::Md5Hex(seed) + "\n");
        fs::remove(www_.Sub("zornfix.data.minisig"));
        if (signedBytes.empty())
            return;
        WriteFile(keys_.Sub("zornfix.data"), signedBytes);
        ASSERT_EQ(MinisignSign(keys_.Sub("publisher.key"), keys_.Sub("zornfix.data"),
                               TrustedComment("zornfix.data", 1700000000)),
                  "");
        fs::copy_file(keys_.Sub("zornfix.data.minisig"), www_.Sub("zornfix.data.minisig"));
    }

    std::vector<std::string> Args(const std::string& dir) {
        return {"-Dir",  dir,      "-HttpUrl",  nginx_->Url(""), "-Torrent",     "zornfix.data",
                "-Mode", "repair", "-ListenIp", "127.0.0.1",     "-NotUsingUPnP"};
    }

    TempDir www_, keys_;
    std::unique_ptr<NginxServer> nginx_;
    std::string seed_;
};

TEST_F(SeedSignatureTest, OnlyASeedWithTheTrustedSignatureIsUsed) {
    struct Case {
        const char* name;
        bool altered;       // the served seed differs from what was signed
        bool signature;     // a signature lies beside the seed
        bool cachedBefore;  // the seed already lies in the folder's cache
        bool accepted;
    } cases[] = {
        {"signed", false, true, false, true},
        {"altered after signing", true, true, false, false},
        {"no signature", false, false, false, false},
        {"cached, no signature", false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string served = seed_;
        if (c.altered)
            served.replace(served.find("3:sub"), 5, "3:bus");
        Publish(served, c.signature ? seed_ : "");
        TempDir client;
        if (c.cachedBefore)
            client.Write(".ferrel/seed.torrent", served);

        EngineProcess engine(FERREL_KEYED_BINARY, Args(client.path()));
        if (c.accepted) {
            ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED));
            EXPECT_TRUE(HoldsTree(client.path(), www_.Sub("client")));
        } else {
            ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_SEED_FILE_FAIL))
                << testing::PrintToString(engine.lines());
            EXPECT_EQ(engine.Values("Error"), std::vector<std::string>{"DownloadSeed"});
            const auto why = engine.Values("ErrorFile");
            ASSERT_EQ(why.size(), 1u);
            EXPECT_NE(why[0].find(c.signature ? "wrong signature" : "no signature"),
                      std::string::npos)
                << why[0];
            // Nothing of the seed was kept, nothing of the client written.
            std::vector<std::string> written;
            for (const auto& e : fs::recursive_directory_iterator(client.path()))
                written.push_back(fs::relative(e.path(), client.path()));
            const std::vector<std::string> expected =
                c.cachedBefore ? std::vector<std::string>{".ferrel", ".ferrel/seed.torrent"}
                               : std::vector<std::string>{".ferrel"};
            std::sort(written.begin(), written.end());
            EXPECT_EQ(written, expected);
        }
        engine.Send("quit");
        EXPECT_EQ(engine.Wait(), 0);
    }
}

}  // namespace
