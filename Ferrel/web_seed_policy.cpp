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
        return kOff;
    if (s.missing <= 0)
        return kOn;
    if (s.peers != m_lastPeers) {
        m_lastPeers = s.peers;
        m_peersSince = s.seconds;
    }
    const std::int64_t uncovered = std::clamp<std::int64_t>(s.uncovered, 0, s.missing);
    if (m_lastUncovered < 0 || uncovered < m_lastUncovered)
        m_uncoveredSince = s.seconds;
    m_lastUncovered = uncovered;
    // Judged only while the peers hold at least a second's worth for this
    // engine: before that their rate has nothing to show.
    const std::int64_t ceiling = Ceiling();
    const bool slow = s.missing - uncovered >= ceiling &&
                      static_cast<double>(s.peerRate) * kSlowPeers < static_cast<double>(ceiling);
    if (!slow)
        m_slowSince = -1;
    else if (m_slowSince < 0)
        m_slowSince = s.seconds;
    // The tracker's list may name this engine itself; its count of
    // downloaders includes it.
    const bool othersNamed = s.swarm >= 0 ? s.swarm > 1 : s.known > 0;
    if (s.peers <= 0 && (!othersNamed || s.seconds >= kConnectWait))
        return kOn;
    if (uncovered > 0 && s.seconds < kConnectWait && s.seconds - m_peersSince < kSettle)
        return kOff;
    if (uncovered > 0 && (!s.striped || s.own > 0))
        return kOn;
    if (uncovered > 0 && s.seconds - m_uncoveredSince >= kSlowFor)
        return kOn;
    if (slow && s.seconds - m_slowSince >= kCrawlFor)
        return kOn;
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
