// A small HTTP relay on 127.0.0.1 between libtorrent and the web seeds.
// libtorrent is given the relay's addresses only; the relay fetches each
// range it is asked for from the real web seed with libcurl and answers with
// a clean, well-formed response of exactly that range. A web seed that sends
// more than it was asked for, another range, headers without end or a body
// it cannot frame is dropped: the relay refuses it from then on and tells the
// engine, which takes it off the torrent. Memory stays bounded: every range
// streams through a fixed buffer, one thread per connection, a few
// connections at most.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ferrel {

// A web seed the relay gave up on.
struct DroppedSource {
    std::string relayed;  // the address libtorrent knows it by
    std::string url;
    std::string why;
};

class WebSeedRelay {
  public:
    WebSeedRelay() = default;
    ~WebSeedRelay();
    WebSeedRelay(const WebSeedRelay&) = delete;
    WebSeedRelay& operator=(const WebSeedRelay&) = delete;

    // Listens on 127.0.0.1 at a port the kernel picks. False when it cannot
    // (or when it is stopped).
    bool Start();
    // Ends every transfer and thread; within about a second.
    void Stop();
    bool running() const { return m_port != 0; }

    // The address libtorrent is given for the web seed at url (an address
    // ending in "/" stands for a folder, any other for one file). The same
    // url always gives the same address.
    std::string Relayed(const std::string& url);
    // The web seed behind a relayed address; the address itself when it is
    // none of ours.
    std::string Original(const std::string& relayed) const;
    // The relayed addresses of the web seeds dropped since the last call.
    std::vector<DroppedSource> TakeDropped();
    // Whether the web seed behind this relayed address was dropped.
    bool Dropped(const std::string& relayed) const;

  private:
    struct Source {
        std::string url;
        std::string relayed;
        bool dropped = false;
        std::string why;
        bool told = false;  // the engine has heard of the drop
    };
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Accept();
    void Serve(Connection& connection);
    // The web seed's address for a request path; false when none.
    bool Target(const std::string& path, std::size_t& source, std::string& url) const;
    void Drop(std::size_t source, const std::string& why);
    bool IsDropped(std::size_t source) const;
    void Reap(bool all);

    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    mutable std::mutex m_mutex;  // m_sources, m_connections' fds
    std::vector<Source> m_sources;
    std::list<std::unique_ptr<Connection>> m_connections;
};

}  // namespace ferrel
