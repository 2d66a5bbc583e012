// A loopback TCP server for tests that plays a fixed script to each client:
// for behaviours only a misbehaving server shows.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct ServerStep {
    enum Kind { Send, Sleep, Close, ReadRequest } kind;
    std::string data;                   // Send
    std::chrono::milliseconds wait{0};  // Sleep
};

inline ServerStep SendBytes(std::string data) {
    return {ServerStep::Send, std::move(data), {}};
}
inline ServerStep SleepFor(std::chrono::milliseconds ms) {
    return {ServerStep::Sleep, {}, ms};
}
inline ServerStep CloseNow() {
    return {ServerStep::Close, {}, {}};
}
// Reads the request up to its blank line.
inline ServerStep ReadRequest() {
    return {ServerStep::ReadRequest, {}, {}};
}

class ScriptedServer {
  public:
    // Listens on 127.0.0.1 at a free port and serves every connection with
    // the script (after the script the connection is closed).
    explicit ScriptedServer(std::vector<ServerStep> script);
    ~ScriptedServer();

    int port() const { return port_; }
    std::string Url(const std::string& path) const;
    // Every request received so far, in order.
    std::vector<std::string> Requests() const;
    // Connections accepted so far.
    int Connections() const { return connections_; }

  private:
    void Serve();
    std::vector<ServerStep> script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// An HTTP response with the given status line, extra header lines and body.
std::string HttpResponse(const std::string& status, const std::string& headers,
                         const std::string& body);

}  // namespace testing_support
