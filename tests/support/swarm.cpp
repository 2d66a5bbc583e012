#include "tests/support/swarm.h"

#include <unistd.h>

#include "tests/support/child_process.h"

namespace testing_support {

namespace {
const std::string kHelper = TESTS_SUPPORT_DIR "/swarm.sh";
}

Swarm::Swarm() {
    char pattern[] = "/tmp/korvel-swarm-XXXXXX";
    state_ = ::mkdtemp(pattern);
    const RunResult r = RunProgram({"bash", kHelper, "start", state_, std::to_string(::getpid())});
    if (r.exitCode == 0)
        port_ = std::stoi(r.out);
}

Swarm::~Swarm() {
    RunProgram({"bash", kHelper, "stop", state_});
    RunProgram({"rm", "-rf", state_});
}

std::string Swarm::Announce() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
}

bool Swarm::Seed(const std::string& torrentFile, const std::string& dataDir, std::string& error) {
    const RunResult r = RunProgram({"bash", kHelper, "add", state_, torrentFile, dataDir}, {}, "",
                                   std::chrono::seconds(60));
    error = r.err;
    return r.exitCode == 0;
}

bool Swarm::Track(const std::string& torrentFile, std::string& error) {
    const RunResult r = RunProgram({"bash", kHelper, "track", state_, torrentFile}, {}, "",
                                   std::chrono::seconds(30));
    error = r.err;
    return r.exitCode == 0;
}

std::string MakeTorrent(const std::string& zrpatch, const std::string& file,
                        const std::string& announce, const std::string& out) {
    const RunResult r = RunProgram({zrpatch, "torrent", file, "--tracker", announce, "-o", out});
    return r.exitCode == 0 ? "" : r.err + r.out;
}

}  // namespace testing_support
