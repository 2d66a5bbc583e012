#include "common/channel/network_interactive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string_view>
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

// Connections accepted and looked at in one call before the rest waits for
// the next one.
constexpr int kAcceptsPerCall = 8;

}  // namespace

// The kernel's table of TCP sockets names each socket's owner;
// the peer's row is the one whose local end is the peer's address and
// whose remote end is ours. No such row (the peer has gone) counts as
// someone else's.
bool PeerOwnedBy(int fd, uid_t uid) {
    sockaddr_in peer{};
    sockaddr_in own{};
    socklen_t peerSize = sizeof peer;
    socklen_t ownSize = sizeof own;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0 ||
        peer.sin_family != AF_INET || own.sin_family != AF_INET)
        return false;
    std::ifstream table("/proc/net/tcp");
    std::string row;
    std::getline(table, row);  // the heading
    while (std::getline(table, row)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0;
        unsigned long owner = 0;
        // sl local rem st tx:rx tr:when retrnsmt uid ...
        if (std::sscanf(row.c_str(), " %*s %8X:%4X %8X:%4X %*s %*s %*s %*s %lu", &localAddress,
                        &localPort, &remoteAddress, &remotePort, &owner) != 5)
            continue;
        // Addresses are shown as the bytes in memory, ports as numbers.
        if (localAddress == peer.sin_addr.s_addr && localPort == ntohs(peer.sin_port) &&
            remoteAddress == own.sin_addr.s_addr && remotePort == ntohs(own.sin_port))
            return owner == uid;
    }
    return false;
}

namespace {

// Port 0: the kernel picks a free one.
std::function<std::uint16_t()> KernelPorts() {
    return [] { return std::uint16_t{0}; };
}

}  // namespace

NetworkInteractive::NetworkInteractive(std::uint16_t port)
    : NetworkInteractive(port, KernelPorts()) {}

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
    sockaddr_in chosen{};
    socklen_t size = sizeof chosen;
    if (!bound || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&chosen), &size) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    port = ntohs(chosen.sin_port);
    CloseSocket(m_listenSocket);
    m_listenSocket = fd;
    m_channelPort = port;
    return true;
}

bool NetworkInteractive::EnsurePeer() {
    if (m_peerSocket >= 0)
        return true;
    for (int i = 0; i < kAcceptsPerCall && m_listenSocket >= 0 && Readable(m_listenSocket); ++i) {
        int fd = ::accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return false;
        // Anyone on the machine can connect to a loopback port; only a
        // socket of our own user speaks for the engine.
        if (!PeerOwnedBy(fd, ::geteuid())) {
            CloseSocket(fd);
            continue;
        }
        m_peerSocket = fd;
        m_peerClosed = false;
        // One engine per channel: nobody else gets in from now on.
        CloseSocket(m_listenSocket);
        return true;
    }
    return false;
}

void NetworkInteractive::ReceiveMore() {
    if (m_pending.find('\n') != std::string::npos || !Readable(m_peerSocket))
        return;
    char buffer[kReceiveChunk];
    const ssize_t n = ::recv(m_peerSocket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        m_peerClosed = true;
        return;
    }
    if (n < 0)
        return;
    std::string_view got(buffer, static_cast<std::size_t>(n));
    if (m_skipping) {
        const std::size_t end = got.find('\n');
        if (end == std::string_view::npos)
            return;
        got.remove_prefix(end + 1);
        m_skipping = false;
    }
    m_pending.append(got);
    if (m_pending.size() > kMaxLineLength && m_pending.find('\n') == std::string::npos) {
        m_pending.clear();
        m_skipping = true;
    }
}

bool NetworkInteractive::ReceiveLine(std::string& line) {
    if (!EnsurePeer())
        return false;
    ReceiveMore();
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end == std::string::npos)
            return false;
        if (end <= kMaxLineLength) {
            line.assign(m_pending, 0, end);
            m_pending.erase(0, end + 1);
            return true;
        }
        m_pending.erase(0, end + 1);  // a line too long to be one of ours
    }
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
