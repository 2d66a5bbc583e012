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

// The rule, with its reasons. The web seeds are either on at full speed or
// taken off the torrent. Measured with bench/swarm.sh (12 engines repairing
// empty copies of a 128 MiB client at once with the repair tool's
// arguments, each engine capped at 10000 KB/s, no seed box; runs with and
// without the rule in turn, where without it the last engine was done in
// 17.4-19.2 s and the web server sent 4.5-5.9 copies):
//
// - A web seed held to a share of the rate was what made the swarm slow
//   (1.4 copies, but 39-42 s; 26 s instead of 5 s for 3 engines on a 16 MiB
//   client). The per-engine timelines (-OutInfoLevel 1) showed why: a
//   limited web seed kept up to 500 blocks (8 MiB) requested that it then
//   brought at a trickle, and the piece picker gives no other peer a block
//   that is requested, so engines stood for ten seconds beside peers that
//   unchoked them with nothing to ask of them. On or off only: 20-22 s, but
//   2.2-2.6 copies.
// - Most of those copies were web seeds fetching outside their stripe: a
//   web seed asks for 1 MiB runs and the picker widens a piece to its free
//   neighbours whatever their priority, unless they are held back
//   (priority 0). In the timelines the piece a web seed was bringing lay
//   outside its stripe in 57 % of the looks; with the uncovered pieces of
//   other stripes held back while it runs, 16 % (WebSeedSteering).
// - A crawl rule judged from the start fired as soon as an engine's stripe
//   was done (the peers' rate, a 5 s average, still showed little): 20-45
//   MiB of a run. It now waits until the peers hold a second's worth.
// - Together with holding back everything but the stripe's last 2 MiB:
//   1.14-1.16 copies in 20-22 s.
//
// The decisions:
// - No peers (none connected, and none but this engine named by the tracker
//   or none connected after kConnectWait seconds): on, as a lone engine
//   always runs.
// - Missing pieces held by no connected peer and dealt to this engine
//   (OwnStripe), or nobody to deal them with: on. The swarm's web seeds
//   then fetch about one copy between them, each engine a different part,
//   and the engines pass it on at once.
// - Uncovered pieces that have stopped shrinking for kSlowFor seconds (their
//   owner is gone or stuck): on.
// - Peers that hold at least a second's worth (of the ceiling: the download
//   limit, or the best rate seen) but for kCrawlFor seconds bring less than
//   1/kSlowPeers of it: on. This is the engine the others leave behind.
// - Otherwise (the peers hold everything missing and deliver, or the
//   uncovered pieces are other engines' stripes and shrinking): off.
// - Until the first tracker answer (at most kTrackerWait seconds), and in the
//   first kConnectWait seconds while engines are still connecting (the
//   number of peers changed within kSettle seconds): off. Stripes dealt
//   among half the swarm overlap with the others' and cost chunks twice.
class WebSeedPolicy {
  public:
    static constexpr double kSlowPeers = 4.0;
    static constexpr double kSlowFor = 3.0;
    static constexpr double kCrawlFor = 5.0;
    static constexpr double kTrackerWait = 2.0;
    static constexpr double kConnectWait = 3.0;
    static constexpr double kSettle = 1.0;
    // Decide's answers.
    static constexpr std::int64_t kOn = 0;
    static constexpr std::int64_t kOff = -1;
    // Ceiling assumed without a download limit before any rate has been seen.
    static constexpr std::int64_t kDefaultCeiling = 8 * 1024 * 1024;

    // downloadLimit: the engine's download limit in bytes per second, 0: none.
    explicit WebSeedPolicy(std::int64_t downloadLimit) : m_downloadLimit(downloadLimit) {}

    // kOn or kOff for the next while.
    std::int64_t Decide(const SwarmSample& sample);

    // The rate the peers are judged against (for tests and reports).
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

// Which of the uncovered pieces this engine's web seeds take. The
// pieces are grouped in chunks of the web seeds' request size, and the
// chunks dealt out in turn to the downloading engines in sight, ordered by
// address (rank: this engine's place among members). Each engine's web
// seeds take only its own chunks, so that engines that start together fetch different
// pieces from the web server instead of the same ones at once; a piece
// another engine holds is never in a stripe. Empty when there is nobody to
// share with.
std::vector<bool> OwnStripe(const std::vector<bool>& uncovered, int piecesPerChunk, int rank,
                            int members);

}  // namespace ferrel
