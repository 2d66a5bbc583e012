// Several engines repairing empty copies of one client at once, from one
// web seed and from each other through a tracker: the web seed sends far
// fewer copies than there are engines, and every copy ends up whole.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "Ferrel/seed_fetch.h"
#include "tests/Ferrel/engine_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/torrent_maker.h"

namespace {

using ferrel_test::EngineProcess;
using testing_support::HoldsTree;
using testing_support::NginxServer;
using testing_support::RandomBytes;
using testing_support::Swarm;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(WebSeedSwarmTest, EnginesShareWhatTheWebSeedSends) {
    constexpr int kEngines = 3;
    TempDir www;
    const std::string published = www.Sub("client");
    www.Write("client/main.pak", RandomBytes(12 << 20, 7));
    www.Write("client/sub/data.bin", RandomBytes((4 << 20) + 1234, 8));
    const long long clientBytes = (16 << 20) + 1234;
    NginxServer nginx(www.path());
    ASSERT_TRUE(nginx.started());
    Swarm swarm;
    ASSERT_TRUE(swarm.started());
    zrpatch::MadeTorrent made;
    std::string error;
    ASSERT_TRUE(zrpatch::MakeSeed({published, nginx.Url("/"), swarm.Announce()}, made, error))
        << error;
    WriteFile(www.Sub("zornfix.data"), made.document);
    WriteFile(www.Sub("zornfix.data.md5"), ferrel::Md5Hex(made.document) + "\n");
    ASSERT_TRUE(swarm.Track(www.Sub("zornfix.data"), error)) << error;

    // The repair tool's arguments, each engine on a loopback address of its
    // own; 4000 KB/s lets a lone engine take some four seconds.
    std::vector<TempDir> copies(kEngines);
    std::vector<std::unique_ptr<EngineProcess>> engines;
    for (int i = 0; i < kEngines; ++i)
        engines.push_back(std::make_unique<EngineProcess>(
            std::vector<std::string>{"-Dir",
                                     copies[i].path(),
                                     "-HttpUrl",
                                     nginx.Url(""),
                                     "-Torrent",
                                     "zornfix.data",
                                     "-Mode",
                                     "repair",
                                     "-HttpThread",
                                     "4",
                                     "-P2PUploadThread",
                                     "6",
                                     "-P2PUploadListSize",
                                     "12",
                                     "-DownloadLimit",
                                     "4000",
                                     "-UploadLimit",
                                     "10000",
                                     "-DeleteDownloadInfo",
                                     "-ListenIp",
                                     "127.0.0." + std::to_string(60 + i),
                                     "-NotUsingUPnP",
                                     "-ShareWebSeeds"}));
    for (auto& engine : engines) {
        ASSERT_TRUE(engine->started());
        ASSERT_TRUE(engine->WaitForState(ferrel::DOWNLOAD_COMPLETED, std::chrono::seconds(120)))
            << testing::PrintToString(engine->lines());
    }
    for (int i = 0; i < kEngines; ++i)
        EXPECT_TRUE(HoldsTree(copies[i].path(), published)) << "copy " << i;
    // Each engine pulling the whole client would be three copies. With so
    // small a client the first engine, alone for a moment, fetches a good
    // part of it before the others connect: 1.2 to 2.7 copies were seen.
    const long long sent = nginx.BodyBytesSent("/client/");
    EXPECT_LT(sent, 3 * clientBytes) << sent / static_cast<double>(clientBytes) << " copies";
    for (auto& engine : engines) {
        engine->Send("quit");
        EXPECT_EQ(engine->Wait(), 0);
    }
}

}  // namespace
