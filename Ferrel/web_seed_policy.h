// How fast the web seeds may bring data while peers can bring it too. The
// publisher pays for every byte its web server sends; peers cost nothing.
// A pure decision on a few numbers sampled from the running torrent, so
// that it can be tested without one.
#pragma once

#include <cstdint>
#include <vector>

namespace ferrel {

// One look at the torrent, taken twice a second.
struct SwarmSample {
    double seconds = 0;           // since the torrent began to download
    bool trackerAnswered = true;  // a tracker has answered, or there is none
    int peers = 0;                // connected BitTorrent peers, web seeds not counted
    int seeds = 0;                // of those, the ones that hold everything
    int known = 0;                // peers the torrent knows of, connected or not
    int swarm = -1;               // downloaders the tracker counts (this one too), -1: unknown
    std::int64_t peerRate = 0;    // payload bytes per second from those peers
    std::int64_t webRate = 0;     // payload bytes per second from the web seeds
    std::int64_t missing = 0;     // wanted bytes still to come
    std::int64_t uncovered = 0;   // of those, in pieces no connected peer holds
    bool striped = false;         // the uncovered pieces are dealt out (OwnStripe)
    std::int64_t own = 0;         // of the uncovered bytes, those in this engine's stripe
};

// The rule, with its reasons. Measured with bench/swarm.sh (12 engines
// repairing empty copies of a 128 MiB client at once, the repair tool's
// arguments, no seed box), the web server sent 4.5 to 11 copies with the web
// seeds unlimited (more on a busier machine); 1.8 with the division below
// alone, 1.5 with the stripes, 1.4 with the web seeds taken off instead of
// trickling. With twice the rate shared out (kShareFactor 2) the last engine
// was done some 15% sooner for 1.55 copies.
//
// - No peers (none connected, and none but this engine named by the tracker
//   or none connected after kConnectWait seconds), or peers that for kSlowFor seconds would have
//   taken more than kSlowPeers times as long for what they hold as the web seeds alone for
//   everything still missing: the web seeds run unlimited, as a lone engine
//   always does. The peers are judged only once they hold at least a
//   second's worth for this engine; their rates are averages that lag
//   behind their first pieces.
// - Otherwise, while some missing pieces are held by no connected peer, the
//   web seeds bring them at this engine's part of the rate a lone engine
//   would take: the ceiling (the download limit, or the best rate seen)
//   divided among the downloading engines (the connected peers that are not
//   seeds and this one, or the tracker's count when that is higher).
//   Together the swarm then asks the web server for about one engine's
//   worth, and since each web seed takes the rarest pieces first, each
//   engine fetches pieces the others lack and passes them on at once.
//   Without the division every engine pulled the same pieces from the web
//   server at full speed before any peer could offer them. With the
//   uncovered pieces dealt out among the engines (OwnStripe), an engine
//   whose own stripe is done drops its web seeds instead of fetching the
//   pieces another engine is fetching at that moment, unless the uncovered
//   pieces have stopped shrinking for kSlowFor seconds, and near the end of
//   its stripe its rate shrinks with the stripe's rest (a web seed requests
//   kQueueSeconds of its rate ahead, and past its own stripe those would be
//   the pieces the other engines are fetching).
// - When every missing piece is held by some peer, and while the own stripe
//   is done, the web seeds are taken off the torrent (kOff) and put back as
//   soon as the rule asks for them again. A web seed kept at a trickle held
//   the pieces of its 1 MiB requests for many seconds, and the last engines
//   waited for them.
// - Until the first tracker answer (at most kTrackerWait seconds) the web
//   seeds start at the trickle too: an engine that starts with many others
//   would otherwise pull a large part of the client before it learns of them.
//   In the first kConnectWait seconds they also keep to it while engines are
//   still connecting (the number of peers changed within kSettle seconds):
//   stripes dealt among half the swarm overlap with the others' and cost
//   whole chunks twice.
class WebSeedPolicy {
  public:
    static constexpr double kSlowPeers = 4.0;
    static constexpr double kSlowFor = 3.0;
    static constexpr double kTrackerWait = 2.0;
    static constexpr double kConnectWait = 3.0;
    static constexpr double kSettle = 1.0;
    static constexpr std::int64_t kTrickle = 64 * 1024;
    // Decide's answer for: no web seed connection at all for now.
    static constexpr std::int64_t kOff = -1;
    // The swarm's web seeds together take this many times one engine's rate.
    static constexpr std::int64_t kShareFactor = 1;
    // Seconds of its rate a web seed requests ahead (libtorrent's
    // request_queue_time).
    static constexpr double kQueueSeconds = 3.0;
    // Ceiling assumed without a download limit before any rate has been seen.
    static constexpr std::int64_t kDefaultCeiling = 8 * 1024 * 1024;

    // downloadLimit: the engine's download limit in bytes per second, 0: none.
    explicit WebSeedPolicy(std::int64_t downloadLimit) : m_downloadLimit(downloadLimit) {}

    // The web seeds' download limit in bytes per second for the next while;
    // 0 means unlimited.
    std::int64_t Decide(const SwarmSample& sample);

    // The rate the decision divides (for tests and reports).
    std::int64_t Ceiling() const;

  private:
    std::int64_t m_downloadLimit;
    std::int64_t m_bestRate = 0;  // highest total payload rate seen
    double m_slowSince = -1;      // when the peers were first seen too slow, -1: they are not
    std::int64_t m_lastUncovered = -1;
    int m_lastPeers = -1;
    double m_peersSince = 0;      // when the number of peers last changed
    double m_uncoveredSince = 0;  // when the uncovered bytes last shrank
};

// Which of the uncovered pieces this engine's web seeds take first. The
// pieces are grouped in chunks of the web seeds' request size, and the
// chunks dealt out in turn to the downloading engines in sight, ordered by
// address (rank: this engine's place among members). Each engine puts its
// own chunks first, so that engines that start together fetch different
// pieces from the web server instead of the same ones at once; a piece
// another engine holds is never in a stripe. Empty when there is nobody to
// share with.
std::vector<bool> OwnStripe(const std::vector<bool>& uncovered, int piecesPerChunk, int rank,
                            int members);

}  // namespace ferrel
