#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

ScriptedServer::ScriptedServer(std::vector<ServerStep> script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::Serve() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        bool open = true;
        for (const ServerStep& step : script_) {
            if (!open || stop_)
                break;
            switch (step.kind) {
                case ServerStep::ReadRequest: {
                    std::string request;
                    char buf[1024];
                    while (request.find("\r\n\r\n") == std::string::npos && !stop_) {
                        pollfd r{fd, POLLIN, 0};
                        if (::poll(&r, 1, 50) <= 0)
                            continue;
                        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                        if (n <= 0)
                            break;
                        request.append(buf, static_cast<std::size_t>(n));
                    }
                    std::lock_guard lock(mutex_);
                    requests_.push_back(request);
                    break;
                }
                case ServerStep::Send: {
                    std::size_t sent = 0;
                    while (sent < step.data.size()) {
                        const ssize_t n = ::send(fd, step.data.data() + sent,
                                                 step.data.size() - sent, MSG_NOSIGNAL);
                        if (n <= 0) {
                            open = false;
                            break;
                        }
                        sent += static_cast<std::size_t>(n);
                    }
                    break;
                }
                case ServerStep::Sleep:
                    std::this_thread::sleep_for(step.wait);
                    break;
                case ServerStep::Close:
                    open = false;
                    break;
            }
        }
        ::close(fd);
    }
}

std::string HttpResponse(const std::string& status, const std::string& headers,
                         const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace testing_support
