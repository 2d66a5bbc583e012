#include "common/channel/network_interactive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <random>
#include <utility>

namespace vellum {

namespace {

constexpr std::size_t kReceiveChunk = 1024;

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void CloseSocket(int& fd) {
    if (fd < 0)
        return;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    fd = -1;
}

// Ports 10000 to 65535, from a generator seeded with the current second.
std::function<std::uint16_t()> RandomPorts() {
    auto engine = std::make_shared<std::minstd_rand>(
        static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
    return [engine] { return static_cast<std::uint16_t>(10000 + (*engine)() % 55536); };
}

}  // namespace

NetworkInteractive::NetworkInteractive(std::uint16_t port)
    : NetworkInteractive(port, RandomPorts()) {}

NetworkInteractive::NetworkInteractive(std::uint16_t port, std::function<std::uint16_t()> pickPort)
    : m_channelPort(port), m_pickPort(std::move(pickPort)) {}

NetworkInteractive::~NetworkInteractive() {
    Stop();
}

bool NetworkInteractive::Start() {
    return m_channelPort != 0 ? Connect() : Listen();
}

bool NetworkInteractive::Connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in address = LoopbackAddress(m_channelPort);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    CloseSocket(m_peerSocket);
    m_peerSocket = fd;
    m_peerClosed = false;
    return true;
}

bool NetworkInteractive::Listen() {
    // Close-on-exec: the engine started from this process must not inherit
    // the listening socket.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    std::uint16_t port = 0;
    bool bound = false;
    for (int attempt = 0; attempt < kMaxBindAttempts && !bound; ++attempt) {
        port = m_pickPort();
        const sockaddr_in address = LoopbackAddress(port);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    if (!bound || ::listen(fd, 1) != 0) {
        ::close(fd);
        return false;
    }
    CloseSocket(m_listenSocket);
    m_listenSocket = fd;
    m_channelPort = port;
    return true;
}

bool NetworkInteractive::EnsurePeer() {
    if (m_peerSocket >= 0)
        return true;
    if (m_listenSocket < 0 || !Readable(m_listenSocket))
        return false;
    const int fd = ::accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    m_peerSocket = fd;
    m_peerClosed = false;
    return true;
}

bool NetworkInteractive::ReceiveLine(std::string& line) {
    if (!EnsurePeer())
        return false;
    if (Readable(m_peerSocket)) {
        char buffer[kReceiveChunk];
        const ssize_t n = ::recv(m_peerSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            m_pending.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            m_peerClosed = true;
    }
    const std::size_t end = m_pending.find('\n');
    if (end == std::string::npos)
        return false;
    line.assign(m_pending, 0, end);
    m_pending.erase(0, end + 1);
    return true;
}

bool NetworkInteractive::SendText(const std::string& s) {
    if (m_peerSocket < 0)
        return false;
    // One send that never waits for the peer and never raises SIGPIPE; what
    // did not fit is not sent later.
    const ssize_t n = ::send(m_peerSocket, s.data(), s.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n >= 0 && static_cast<std::size_t>(n) == s.size();
}

bool NetworkInteractive::Closed() const {
    return m_peerClosed && m_pending.find('\n') == std::string::npos;
}

void NetworkInteractive::Stop() {
    CloseSocket(m_listenSocket);
    CloseSocket(m_peerSocket);
}

}  // namespace vellum
