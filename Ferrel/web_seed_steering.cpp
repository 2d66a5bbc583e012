#include "Ferrel/web_seed_steering.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include <libtorrent/ip_filter.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

namespace ferrel {

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(500);
constexpr int kRequestBytes = 1 << 20;

// The host of an http:// or https:// address, without brackets and port.
std::string HostOf(const std::string& url) {
    const std::size_t scheme = url.find("://");
    std::size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = url.find_first_of("/?#", begin);
    std::string authority = url.substr(begin, end == std::string::npos ? end : end - begin);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        return close == std::string::npos ? "" : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// Every address the host resolves to; none when it does not.
std::vector<lt::address> Resolve(const std::string& host) {
    std::vector<lt::address> out;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return out;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) != 0)
            continue;
        lt::error_code ec;
        const lt::address address = lt::make_address(text, ec);
        if (!ec)
            out.push_back(address);
    }
    ::freeaddrinfo(list);
    return out;
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
        if (!Classify())
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            lock.unlock();
            SwarmSample sample;
            const bool running = Sample(sample);
            if (running)
                SetLimit(m_policy.Decide(sample));
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

// Puts the web seed connections into a peer class of their own, by the
// addresses of their servers. A peer on such an address shares that class.
// False when there is nothing to steer.
bool WebSeedSteering::Classify() {
    const std::set<std::string> urls = m_torrent.url_seeds();
    m_urls = urls;
    if (urls.empty())
        return false;
    std::vector<lt::address> addresses;
    for (const std::string& url : urls)
        for (const lt::address& a : Resolve(HostOf(url)))
            addresses.push_back(a);
    if (addresses.empty())
        return false;
    const std::shared_ptr<const lt::torrent_info> info = m_torrent.torrent_file();
    if (!info)
        return false;
    m_pieceLength = info->piece_length();
    m_hasTrackers = !m_torrent.trackers().empty();
    // A limited connection is handed its bandwidth only once a whole
    // request's worth has gathered (or after some ten seconds): with the
    // default 16 MiB ranges a web seed limited to a share of the rate sat
    // idle for ten seconds at a time. 1 MiB ranges keep it flowing.
    lt::settings_pack pack;
    pack.set_int(lt::settings_pack::urlseed_max_request_bytes, kRequestBytes);
    m_session.apply_settings(std::move(pack));
    m_class = m_session.create_peer_class("web seeds");
    SetLimit(WebSeedPolicy::kTrickle);
    lt::ip_filter filter = m_session.get_peer_class_filter();
    for (const lt::address& a : addresses) {
        const std::uint32_t classes =
            filter.access(a) | (1u << static_cast<std::uint32_t>(m_class));
        filter.add_rule(a, a, classes);
    }
    m_session.set_peer_class_filter(filter);
    // A connection takes its classes when it opens: one that opened before
    // the filter is opened anew.
    std::vector<lt::peer_info> peers;
    m_torrent.get_peer_info(peers);
    const bool open = std::any_of(peers.begin(), peers.end(), [](const lt::peer_info& p) {
        return p.connection_type != lt::peer_info::standard_bittorrent;
    });
    for (const std::string& url : open ? urls : std::set<std::string>{}) {
        m_torrent.remove_url_seed(url);
        if (!Dropped(url))
            m_torrent.add_url_seed(url);
    }
    return true;
}

bool WebSeedSteering::Dropped(const std::string& url) const {
    return m_relay != nullptr && m_relay->Dropped(url);
}

// False once the torrent has everything (or is gone).
bool WebSeedSteering::Sample(SwarmSample& sample) {
    const lt::torrent_status st = m_torrent.status(lt::torrent_handle::query_pieces);
    if (st.is_finished || st.is_seeding)
        return false;
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    sample.trackerAnswered = !m_hasTrackers || !st.current_tracker.empty();
    sample.missing = std::max<std::int64_t>(st.total_wanted - st.total_wanted_done, 0);
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
    std::vector<bool> uncovered(static_cast<std::size_t>(pieces), false);
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
    const std::vector<bool> own =
        OwnStripe(uncovered, std::max(1, kRequestBytes / std::max(1, m_pieceLength)), rank,
                  static_cast<int>(members.size()));
    sample.striped = !own.empty();
    sample.own =
        std::count(own.begin(), own.end(), true) * static_cast<std::int64_t>(m_pieceLength);
    SetStripe(own);
    if (m_verbose)
        std::fprintf(
            stderr,
            "Ferrel: web seeds: %.1f s peers %d (seeds %d, known %d, swarm %d) peer rate %lld "
            "web rate %lld missing %lld uncovered %lld own %lld\n",
            sample.seconds, sample.peers, sample.seeds, sample.known, sample.swarm,
            static_cast<long long>(sample.peerRate), static_cast<long long>(sample.webRate),
            static_cast<long long>(sample.missing), static_cast<long long>(sample.uncovered),
            static_cast<long long>(sample.own));
    return true;
}

// The engine's own stripe goes first (top priority), everything else keeps
// the default. Only changes are passed on.
void WebSeedSteering::SetStripe(const std::vector<bool>& own) {
    if (own == m_stripe)
        return;
    std::vector<lt::download_priority_t> priorities(own.empty() ? m_stripe.size() : own.size(),
                                                    lt::default_priority);
    for (std::size_t i = 0; i < own.size(); ++i)
        if (own[i])
            priorities[i] = lt::top_priority;
    m_stripe = own;
    if (!priorities.empty())
        m_torrent.prioritize_pieces(priorities);
}

void WebSeedSteering::SetLimit(std::int64_t limit) {
    if (limit == m_limit)
        return;
    m_limit = limit;
    const bool off = limit == WebSeedPolicy::kOff;
    if (off != m_removed) {
        m_removed = off;
        for (const std::string& url : m_urls) {
            if (off)
                m_torrent.remove_url_seed(url);
            else if (!Dropped(url))
                m_torrent.add_url_seed(url);
        }
    }
    if (off)
        return;
    lt::peer_class_info pci = m_session.get_peer_class(m_class);
    pci.download_limit = static_cast<int>(std::min<std::int64_t>(limit, 0x7fffffff));
    m_session.set_peer_class(m_class, pci);
    if (m_verbose)
        std::fprintf(stderr, "Ferrel: web seeds: limit %lld B/s\n", static_cast<long long>(limit));
}

}  // namespace ferrel
