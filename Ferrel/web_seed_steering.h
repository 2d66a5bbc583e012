// Applies WebSeedPolicy to a running torrent: a thread of its own looks at
// the torrent twice a second, takes its web seeds off or puts them back, and
// while they run holds back the pieces that are other engines' to fetch from
// the web server. The engine's loop never waits for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/session_handle.hpp>
#include <libtorrent/settings_pack.hpp>
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
    // prints a line a look (what came from where, the decision) on
    // standard error; web seeds the relay (if given) dropped are never put
    // back.
    void Start(lt::session_handle session, lt::torrent_handle torrent, std::int64_t downloadLimit,
               bool verbose, const WebSeedRelay* relay = nullptr);
    // Ends the thread; the web seeds stay as they are.
    void Stop();

  private:
    void Run();
    bool Prepare();
    bool Sample(SwarmSample& sample, std::vector<bool>& uncovered, std::vector<bool>& own);
    void SetWebSeeds(bool on);
    void SetPieces(const std::vector<bool>& own, const std::vector<bool>& uncovered);
    void SetSharing(bool sharing);
    void Report(const SwarmSample& sample, bool on);
    bool Dropped(const std::string& url) const;

    lt::session_handle m_session;
    lt::torrent_handle m_torrent;
    WebSeedPolicy m_policy{0};
    bool m_verbose = false;
    const WebSeedRelay* m_relay = nullptr;
    bool m_started = false;
    bool m_hasTrackers = false;
    int m_pieceLength = 0;
    std::int64_t m_totalBytes = 0;
    std::set<std::string> m_urls;        // the torrent's web seeds
    bool m_on = true;                    // the web seeds are on the torrent
    bool m_sharing = false;              // the settings for a swarm are in force
    lt::settings_pack m_alone;           // the settings they replaced
    std::vector<std::uint8_t> m_levels;  // per piece: 2 first, 1 as usual, 0 held back
    std::chrono::steady_clock::time_point m_start;
    // For the verbose report: bytes received so far by kind of source.
    std::map<std::string, std::int64_t> m_seen;
    std::int64_t m_webBytes = 0;
    std::int64_t m_peerBytes = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

}  // namespace ferrel
