// The published client folder the engine tests repair, served by nginx.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/seed_fetch.h"
#include "tests/Ferrel/engine_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/torrent_maker.h"

namespace ferrel_test {

using testing_support::NginxServer;
using testing_support::RandomBytes;
using testing_support::TempDir;
using testing_support::WriteFile;

inline constexpr const char* kTag = "[Interactive]";

// A published client folder www/client with its seed www/zornfix.data and
// www/zornfix.data.md5, served by nginx.
class EngineTest : public testing::Test {
  protected:
    void SetUp() override {
        published_ = www_.Sub("client");
        www_.Write("client/big.dat", RandomBytes(3 << 20, 1));
        www_.Write("client/a.txt", "intact\n");
        www_.Write("client/sub/b.bin", RandomBytes(600 << 10, 2));
        www_.Write("client/sub/deep/c.bin", RandomBytes(200 << 10, 3));
        www_.Write("client/empty.txt", "");
        nginx_ = std::make_unique<NginxServer>(www_.path());
        ASSERT_TRUE(nginx_->started());
        zrpatch::MadeTorrent made;
        std::string error;
        ASSERT_TRUE(zrpatch::MakeSeed({published_, nginx_->Url("/"), ""}, made, error)) << error;
        seed_ = made.document;
        Publish(seed_, ferrel::Md5Hex(seed_));
    }

    void Publish(const std::string& seed, const std::string& md5) {
        WriteFile(www_.Sub("zornfix.data"), seed);
        WriteFile(www_.Sub("zornfix.data.md5"), md5 + "\n");
    }

    std::vector<std::string> Args(const std::string& dir, const std::string& mode = "repair",
                                  const std::string& httpThreads = "4",
                                  const std::string& downloadLimit = "100000") {
        return {"-Dir",          dir,           "-HttpUrl",  nginx_->Url(""),  "-Torrent",
                "zornfix.data",  "-Mode",       mode,        "-ListenIp",      "127.0.0.1",
                "-NotUsingUPnP", "-HttpThread", httpThreads, "-DownloadLimit", downloadLimit};
    }

    // Requests in nginx's log whose request line contains text.
    int Requests(const std::string& text) const {
        int n = 0;
        for (const std::string& l : nginx_->AccessLog())
            n += l.find(text) != std::string::npos;
        return n;
    }

    TempDir www_;
    std::string published_;
    std::unique_ptr<NginxServer> nginx_;
    std::string seed_;
};

inline void Damage(const std::string& path, off_t at) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "\x5a\xa5\x5a\xa5", 4, at), 4);
    ::close(fd);
}

}  // namespace ferrel_test
