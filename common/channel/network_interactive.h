// The channel over a TCP connection on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/channel/interactive.h"

namespace vellum {

// Whether the peer of a connection accepted on 127.0.0.1 is a socket of user
// uid (by the kernel's table of TCP sockets); false when it cannot be told.
bool PeerOwnedBy(int fd, uid_t uid);

class NetworkInteractive : public IInteractive {
  public:
    // Bind attempts on candidate ports before Start gives up.
    static constexpr int kMaxBindAttempts = 1000;
    // Longer lines are dropped whole, so a peer that never sends a line
    // feed cannot make the channel hold more than this (and one receive).
    static constexpr std::size_t kMaxLineLength = 8192;

    // port 0: Start listens on 127.0.0.1 at a port the kernel picks (the
    // launching side); it takes the first connection made from a socket of
    // this process's own user, then stops listening. Any other port: Start
    // connects to 127.0.0.1 at that port.
    explicit NetworkInteractive(std::uint16_t port);
    // As above, with the source of candidate listening ports replaced (0
    // asks the kernel for a free one).
    NetworkInteractive(std::uint16_t port, std::function<std::uint16_t()> pickPort);
    ~NetworkInteractive() override;
    NetworkInteractive(const NetworkInteractive&) = delete;
    NetworkInteractive& operator=(const NetworkInteractive&) = delete;

    bool Start() override;
    bool ReceiveLine(std::string& line) override;
    bool SendText(const std::string& s) override;
    void Stop() override;
    bool Closed() const override;

    // The port given, or the one Start chose to listen on.
    std::uint16_t Port() const { return m_channelPort; }
    // True once a receive found the connection closed by the peer (or
    // failed). The channel itself goes on as before; this is for a side that
    // wants to end with its peer.
    bool PeerClosed() const { return m_peerClosed; }

  private:
    bool Connect();
    bool Listen();
    bool EnsurePeer();
    // Receives once, unless a whole line is already waiting.
    void ReceiveMore();

    int m_listenSocket = -1;
    int m_peerSocket = -1;
    std::uint16_t m_channelPort;
    std::string m_pending;
    bool m_peerClosed = false;
    bool m_skipping = false;  // the rest of an overlong line is dropped
    std::function<std::uint16_t()> m_pickPort;
};

}  // namespace vellum
