// Applies WebSeedPolicy to a running torrent: the torrent's web seed
// connections get a peer class of their own, by their servers' addresses,
// whose download limit a thread of its own sets twice a second from what
// the torrent's peers hold and deliver. The engine's loop never waits for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/peer_class.hpp>
#include <libtorrent/session_handle.hpp>
#include <libtorrent/torrent_handle.hpp>

#include "Ferrel/web_seed_policy.h"
#include "Ferrel/web_seed_relay.h"

namespace ferrel {

class WebSeedSteering {
  public:
    WebSeedSteering() = default;
    ~WebSeedSteering();
    WebSeedSteering(const WebSeedSteering&) = delete;
    WebSeedSteering& operator=(const WebSeedSteering&) = delete;

    // Starts steering the torrent's web seeds; later calls do nothing.
    // downloadLimit: the engine's, in bytes per second (0: none); verbose
    // prints each new limit on standard error; web seeds the relay (if
    // given) dropped are never put back.
    void Start(lt::session_handle session, lt::torrent_handle torrent, std::int64_t downloadLimit,
               bool verbose, const WebSeedRelay* relay = nullptr);
    // Ends the thread; the web seeds keep their last limit.
    void Stop();

  private:
    void Run();
    bool Classify();
    bool Sample(SwarmSample& sample);
    void SetLimit(std::int64_t limit);
    void SetStripe(const std::vector<bool>& own);
    bool Dropped(const std::string& url) const;

    lt::session_handle m_session;
    lt::torrent_handle m_torrent;
    WebSeedPolicy m_policy{0};
    bool m_verbose = false;
    const WebSeedRelay* m_relay = nullptr;
    bool m_started = false;
    bool m_hasTrackers = false;
    int m_pieceLength = 0;
    lt::peer_class_t m_class{0};
    std::int64_t m_limit = -2;     // the limit last set
    std::set<std::string> m_urls;  // the torrent's web seeds
    bool m_removed = false;        // taken off the torrent (WebSeedPolicy::kOff)
    std::vector<bool> m_stripe;    // the pieces last put first
    std::chrono::steady_clock::time_point m_start;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

}  // namespace ferrel
