#include "Ferrel/web_seed_steering.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

namespace ferrel {

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(500);
// The stripes are dealt in chunks of this size.
constexpr int kChunkBytes = 1 << 20;
// With no more than this left of the own stripe, everything else is held
// back while the web seeds run: a web seed whose stripe pieces are all
// requested asks next for a 1 MiB run of pieces the peers hold. Measured
// with bench/swarm.sh (12 engines, 128 MiB): 1.14-1.16 copies with it,
// 1.54-1.75 without, in the same time (20-22 s against 23-24 s).
constexpr std::int64_t kTailBytes = 2 << 20;

// What a swarm needs of the session beside the rule (measured with
// bench/swarm.sh, see WebSeedPolicy). The web seed's outstanding requests are
// what it fetches after its stripe is done and what the web server has sent
// in vain when it is taken off mid-response, so both stay short: requests of
// one piece, two at a time, and at most 64 blocks (1 MiB) asked of any peer,
// which still fills 10 MB/s on loopback. Unchoking every 5 s instead of 15
// spreads the engines' upload slots more evenly, so fewer engines are left
// behind. An engine that had all it wants for a moment (pieces held back)
// keeps its connections to the others. A lone engine keeps libtorrent's
// values: with them its web seed alone brings the most.
lt::settings_pack SwarmSettings(int pieceLength) {
    lt::settings_pack pack;
    pack.set_int(lt::settings_pack::urlseed_max_request_bytes, std::max(pieceLength, 16 * 1024));
    pack.set_int(lt::settings_pack::urlseed_pipeline_size, 2);
    pack.set_int(lt::settings_pack::max_out_request_queue, 64);
    pack.set_int(lt::settings_pack::unchoke_interval, 5);
    pack.set_bool(lt::settings_pack::close_redundant_connections, false);
    return pack;
}

lt::settings_pack CurrentOf(const lt::settings_pack& current) {
    lt::settings_pack pack;
    for (const int name :
         {lt::settings_pack::urlseed_max_request_bytes, lt::settings_pack::urlseed_pipeline_size,
          lt::settings_pack::max_out_request_queue, lt::settings_pack::unchoke_interval})
        pack.set_int(name, current.get_int(name));
    pack.set_bool(lt::settings_pack::close_redundant_connections,
                  current.get_bool(lt::settings_pack::close_redundant_connections));
    return pack;
}

}  // namespace

WebSeedSteering::~WebSeedSteering() {
    Stop();
}

void WebSeedSteering::Start(lt::session_handle session, lt::torrent_handle torrent,
                            std::int64_t downloadLimit, bool verbose, const WebSeedRelay* relay) {
    if (m_started)
        return;
    m_started = true;
    m_session = session;
    m_torrent = torrent;
    m_policy = WebSeedPolicy(downloadLimit);
    m_verbose = verbose;
    m_relay = relay;
    m_start = std::chrono::steady_clock::now();
    m_thread = std::thread([this] { Run(); });
}

void WebSeedSteering::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void WebSeedSteering::Run() {
    // libtorrent's calls throw once the session or the torrent is gone.
    try {
        if (!Prepare())
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            lock.unlock();
            SwarmSample sample;
            std::vector<bool> uncovered, own;
            const bool running = Sample(sample, uncovered, own);
            if (running) {
                const bool on = m_policy.Decide(sample) == WebSeedPolicy::kOn;
                SetSharing(sample.peers > 0);
                SetWebSeeds(on);
                // Held back only while the web seeds run for the own stripe
                // (near its end, all but the stripe): when they run because
                // the peers fail, anything goes.
                if (on && sample.own > 0 && sample.own <= kTailBytes)
                    SetPieces(own, std::vector<bool>(own.size(), true));
                else
                    SetPieces(own, on && sample.own > 0 ? uncovered : std::vector<bool>{});
                if (m_verbose)
                    Report(sample, on);
            }
            lock.lock();
            if (!running)
                break;
            m_wake.wait_for(lock, kPeriod, [this] { return m_stop; });
        }
    } catch (const std::exception& e) {
        if (m_verbose)
            std::fprintf(stderr, "Ferrel: web seeds: %s\n", e.what());
    }
}

// False when there is nothing to steer.
bool WebSeedSteering::Prepare() {
    m_urls = m_torrent.url_seeds();
    if (m_urls.empty())
        return false;
    const std::shared_ptr<const lt::torrent_info> info = m_torrent.torrent_file();
    if (!info)
        return false;
    m_pieceLength = info->piece_length();
    m_totalBytes = info->total_size();
    m_hasTrackers = !m_torrent.trackers().empty();
    m_alone = CurrentOf(m_session.get_settings());
    return true;
}

// False once the torrent has every piece (or is gone).
bool WebSeedSteering::Sample(SwarmSample& sample, std::vector<bool>& uncovered,
                             std::vector<bool>& own) {
    const lt::torrent_status st = m_torrent.status(lt::torrent_handle::query_pieces);
    if (st.is_seeding)
        return false;
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    sample.trackerAnswered = !m_hasTrackers || !st.current_tracker.empty();
    // Pieces held back for the moment are still wanted.
    sample.missing = std::max<std::int64_t>(m_totalBytes - st.total_done, 0);
    sample.known = st.list_peers;
    sample.swarm = st.num_incomplete;
    std::vector<lt::peer_info> peers;
    m_torrent.get_peer_info(peers);
    const int pieces = st.pieces.size();
    std::vector<bool> covered(static_cast<std::size_t>(pieces), false);
    for (const lt::peer_info& p : peers) {
        if (p.connection_type != lt::peer_info::standard_bittorrent) {
            sample.webRate += p.payload_down_speed;
            continue;
        }
        if (p.flags & (lt::peer_info::connecting | lt::peer_info::handshake))
            continue;
        ++sample.peers;
        sample.peerRate += p.payload_down_speed;
        if (p.flags & lt::peer_info::seed) {
            ++sample.seeds;
            covered.assign(covered.size(), true);
            continue;
        }
        const int n = std::min(pieces, p.pieces.size());
        for (int i = 0; i < n; ++i)
            if (p.pieces.get_bit(lt::piece_index_t(i)))
                covered[static_cast<std::size_t>(i)] = true;
    }
    std::int64_t uncoveredPieces = 0;
    uncovered.assign(static_cast<std::size_t>(pieces), false);
    for (int i = 0; i < pieces; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        uncovered[at] = !st.pieces.get_bit(lt::piece_index_t(i)) && !covered[at];
        uncoveredPieces += uncovered[at];
    }
    sample.uncovered = std::min(sample.missing, uncoveredPieces * m_pieceLength);
    // This engine's place among the downloading engines it sees, by the
    // addresses they see each other at.
    std::vector<lt::address> members;
    for (const lt::peer_info& p : peers)
        if (p.connection_type == lt::peer_info::standard_bittorrent &&
            !(p.flags &
              (lt::peer_info::connecting | lt::peer_info::handshake | lt::peer_info::seed))) {
            if (members.empty())
                members.push_back(p.local_endpoint.address());
            members.push_back(p.ip.address());
        }
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    int rank = -1;
    for (const lt::peer_info& p : peers)
        if (p.connection_type == lt::peer_info::standard_bittorrent) {
            rank = static_cast<int>(
                std::lower_bound(members.begin(), members.end(), p.local_endpoint.address()) -
                members.begin());
            break;
        }
    own = OwnStripe(uncovered, std::max(1, kChunkBytes / std::max(1, m_pieceLength)), rank,
                    static_cast<int>(members.size()));
    sample.striped = !own.empty();
    sample.own =
        std::count(own.begin(), own.end(), true) * static_cast<std::int64_t>(m_pieceLength);
    if (m_verbose) {
        std::map<std::string, std::int64_t> seen;
        for (const lt::peer_info& p : peers) {
            const bool web = p.connection_type != lt::peer_info::standard_bittorrent;
            const std::string key =
                (web ? "w" : "p") + p.ip.address().to_string() + ":" + std::to_string(p.ip.port());
            const auto it = m_seen.find(key);
            const std::int64_t last = it == m_seen.end() ? 0 : it->second;
            (web ? m_webBytes : m_peerBytes) +=
                p.total_download >= last ? p.total_download - last : p.total_download;
            seen[key] = p.total_download;
        }
        m_seen = std::move(seen);
    }
    return true;
}

// The own stripe goes first (top priority). The uncovered pieces outside it
// are held back (priority 0) when given: a web seed widens its requests to
// neighbouring pieces of any priority but 0. Everything else keeps the
// default. Only changes are passed on.
void WebSeedSteering::SetPieces(const std::vector<bool>& own, const std::vector<bool>& uncovered) {
    std::vector<std::uint8_t> levels(own.empty() ? m_levels.size() : own.size(), 1);
    for (std::size_t i = 0; i < own.size(); ++i)
        levels[i] = own[i] ? 2 : (i < uncovered.size() && uncovered[i] ? 0 : 1);
    if (levels == m_levels)
        return;
    std::vector<lt::download_priority_t> priorities(levels.size(), lt::default_priority);
    for (std::size_t i = 0; i < levels.size(); ++i)
        if (levels[i] != 1)
            priorities[i] = levels[i] == 2 ? lt::top_priority : lt::dont_download;
    m_levels = std::move(levels);
    if (!priorities.empty())
        m_torrent.prioritize_pieces(priorities);
}

bool WebSeedSteering::Dropped(const std::string& url) const {
    return m_relay != nullptr && m_relay->Dropped(url);
}

void WebSeedSteering::SetWebSeeds(bool on) {
    if (on == m_on)
        return;
    m_on = on;
    for (const std::string& url : m_urls) {
        if (on && !Dropped(url))
            m_torrent.add_url_seed(url);
        else
            m_torrent.remove_url_seed(url);
    }
}

void WebSeedSteering::SetSharing(bool sharing) {
    if (sharing == m_sharing)
        return;
    m_sharing = sharing;
    m_session.apply_settings(sharing ? SwarmSettings(m_pieceLength) : m_alone);
}

void WebSeedSteering::Report(const SwarmSample& s, bool on) {
    std::fprintf(stderr,
                 "Ferrel: web seeds: %.1f s %s peers %d (seeds %d, known %d, swarm %d) peer rate "
                 "%lld web rate %lld missing %lld uncovered %lld own %lld received from web %lld "
                 "from peers %lld\n",
                 s.seconds, on ? "on" : "off", s.peers, s.seeds, s.known, s.swarm,
                 static_cast<long long>(s.peerRate), static_cast<long long>(s.webRate),
                 static_cast<long long>(s.missing), static_cast<long long>(s.uncovered),
                 static_cast<long long>(s.own), static_cast<long long>(m_webBytes),
                 static_cast<long long>(m_peerBytes));
}

}  // namespace ferrel
