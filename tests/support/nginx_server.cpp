#include "tests/support/nginx_server.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace testing_support {

NginxServer::NginxServer(const std::string& rootDir, const std::string& extraConf) {
    char pattern[] = "/tmp/korvel-nginx-XXXXXX";
    state_ = ::mkdtemp(pattern);
    std::vector<std::string> argv = {TESTS_SUPPORT_DIR "/nginx-server.sh", "start", state_,
                                     rootDir};
    if (!extraConf.empty()) {
        WriteFile(state_ + "/extra.conf", extraConf);
        argv.push_back(state_ + "/extra.conf");
    }
    const RunResult r = RunProgram(argv);
    if (r.exitCode == 0)
        port_ = std::stoi(r.out);
}

NginxServer::~NginxServer() {
    RunProgram({TESTS_SUPPORT_DIR "/nginx-server.sh", "stop", state_});
    RunProgram({"rm", "-rf", state_});
}

std::string NginxServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> NginxServer::AccessLog() const {
    // nginx writes the line after the response went out; give it a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> lines;
    std::ifstream in(state_ + "/access.log");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

long long NginxServer::BodyBytesSent(const std::string& pathPrefix) const {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    long long total = 0;
    std::ifstream in(state_ + "/bytes.log");
    // $body_bytes_sent $status "METHOD PATH PROTOCOL"
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        long long bytes = 0;
        std::string status, method, path;
        if (fields >> bytes >> status >> method >> path &&
            path.compare(0, pathPrefix.size(), pathPrefix) == 0)
            total += bytes;
    }
    return total;
}

}  // namespace testing_support
