#include "Ferrel/web_seed_policy.h"

#include <algorithm>

namespace ferrel {

std::int64_t WebSeedPolicy::Ceiling() const {
    if (m_downloadLimit > 0)
        return m_downloadLimit;
    return std::max(kDefaultCeiling, m_bestRate);
}

std::int64_t WebSeedPolicy::Decide(const SwarmSample& s) {
    m_bestRate = std::max(m_bestRate, s.peerRate + s.webRate);
    if (!s.trackerAnswered && s.seconds < kTrackerWait)
        return kTrickle;
    if (s.missing <= 0)
        return 0;
    if (s.peers != m_lastPeers) {
        m_lastPeers = s.peers;
        m_peersSince = s.seconds;
    }
    // The tracker's list may name this engine itself; its count of
    // downloaders includes it.
    const bool othersNamed = s.swarm >= 0 ? s.swarm > 1 : s.known > 0;
    if (s.peers <= 0 && (!othersNamed || s.seconds >= kConnectWait)) {
        m_slowSince = -1;
        return 0;
    }
    const std::int64_t ceiling = Ceiling();
    const std::int64_t uncovered = std::clamp<std::int64_t>(s.uncovered, 0, s.missing);
    const std::int64_t covered = s.missing - uncovered;
    const bool slow =
        covered >= ceiling &&
        static_cast<double>(s.peerRate) * kSlowPeers * static_cast<double>(s.missing) <
            static_cast<double>(covered) * static_cast<double>(ceiling);
    if (!slow)
        m_slowSince = -1;
    else if (m_slowSince < 0)
        m_slowSince = s.seconds;
    if (slow && s.seconds - m_slowSince >= kSlowFor)
        return 0;
    if (m_lastUncovered < 0 || uncovered < m_lastUncovered)
        m_uncoveredSince = s.seconds;
    m_lastUncovered = uncovered;
    if (uncovered > 0 && s.striped && s.own <= 0 && s.seconds - m_uncoveredSince < kSlowFor)
        return kOff;
    if (uncovered > 0 && s.seconds < kConnectWait && s.seconds - m_peersSince < kSettle)
        return kTrickle;
    if (uncovered > 0) {
        const int inSight = s.peers > 0 ? s.peers - std::max(0, s.seeds) : s.known;
        const int downloaders = std::max(inSight + 1, s.swarm);
        std::int64_t share = kShareFactor * ceiling / downloaders;
        // A web seed keeps about kQueueSeconds of its rate requested ahead;
        // beyond the own stripe's rest that would be other engines' pieces.
        if (s.striped && s.own > 0)
            share = std::min(share, static_cast<std::int64_t>(s.own / kQueueSeconds));
        return std::max(kTrickle, share);
    }
    return kOff;
}

std::vector<bool> OwnStripe(const std::vector<bool>& uncovered, int piecesPerChunk, int rank,
                            int members) {
    if (members < 2 || rank < 0 || rank >= members)
        return {};
    const std::size_t per = static_cast<std::size_t>(std::max(1, piecesPerChunk));
    std::vector<bool> own(uncovered.size(), false);
    for (std::size_t i = 0; i < uncovered.size(); ++i)
        own[i] = uncovered[i] &&
                 (i / per) % static_cast<std::size_t>(members) == static_cast<std::size_t>(rank);
    return own;
}

}  // namespace ferrel
