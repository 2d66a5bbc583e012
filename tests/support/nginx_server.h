// A real nginx on a loopback port, started and stopped by the test through
// tests/support/nginx-server.sh.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class NginxServer {
  public:
    // Serves rootDir; extraConf is pasted into the server block.
    NginxServer(const std::string& rootDir, const std::string& extraConf = "");
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string Url(const std::string& path) const;
    // Lines of the access log: "REQUEST LINE" "USER AGENT" STATUS
    std::vector<std::string> AccessLog() const;
    // Body bytes sent for requests whose path starts with pathPrefix.
    long long BodyBytesSent(const std::string& pathPrefix) const;

  private:
    std::string state_;
    int port_ = 0;
};

}  // namespace testing_support
