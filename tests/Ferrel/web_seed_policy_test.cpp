// The web seeds' limit from what the peers hold and deliver.
#include <cstdint>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/web_seed_policy.h"

namespace {

using ferrel::SwarmSample;
using ferrel::WebSeedPolicy;

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kLimit = 10000 * 1024;  // the repair tool's 10000 KB/s
constexpr std::int64_t kOn = WebSeedPolicy::kOn;
constexpr std::int64_t kOff = WebSeedPolicy::kOff;

struct PolicyCase {
    const char* name;
    std::int64_t downloadLimit;
    SwarmSample sample;
    std::int64_t decision;
};

void PrintTo(const PolicyCase& c, std::ostream* os) {
    *os << c.name;
}

// seconds, trackerAnswered, peers, seeds, known, swarm, peerRate, webRate, missing, uncovered,
// striped, own
const PolicyCase kCases[] = {
    {"alone, the web seed runs",
     kLimit,
     {5, true, 0, 0, 0, -1, 0, 9 * kMiB, 100 * kMiB, 100 * kMiB},
     kOn},
    {"before the tracker answers",
     kLimit,
     {0.5, false, 0, 0, 0, -1, 0, 0, 128 * kMiB, 128 * kMiB},
     kOff},
    {"a tracker that never answers",
     kLimit,
     {2.5, false, 0, 0, 0, -1, 0, 0, 128 * kMiB, 128 * kMiB},
     kOn},
    {"engines still connecting",
     kLimit,
     {0.3, true, 2, 0, 5, 6, 0, 0, 128 * kMiB, 128 * kMiB, true, 40 * kMiB},
     kOff},
    {"the tracker names only this engine",
     kLimit,
     {0.5, true, 0, 0, 1, 1, 0, 0, 128 * kMiB, 128 * kMiB},
     kOn},
    {"peers named by the tracker that never connect",
     kLimit,
     {3.5, true, 0, 0, 5, 6, 0, 0, 128 * kMiB, 128 * kMiB},
     kOn},
    {"pieces of the own stripe left",
     kLimit,
     {4, true, 11, 0, 11, 12, 0, 0, 128 * kMiB, 128 * kMiB, true, 10 * kMiB},
     kOn},
    {"the own stripe done, the others' shrinking",
     kLimit,
     {4, true, 11, 0, 11, 12, 8 * kMiB, 0, 100 * kMiB, 50 * kMiB, true, 0},
     kOff},
    {"uncovered pieces and nobody to deal them with",
     kLimit,
     {4, true, 1, 0, 1, 2, 8 * kMiB, 0, 100 * kMiB, 50 * kMiB, false, 0},
     kOn},
    {"peers hold everything and deliver",
     kLimit,
     {6, true, 11, 0, 11, 12, 9 * kMiB, 0, 60 * kMiB, 0, true, 0},
     kOff},
    {"a seed box delivers", kLimit, {3, true, 1, 1, 1, 1, 8 * kMiB, 0, 100 * kMiB, 0}, kOff},
    {"nothing left", kLimit, {9, true, 4, 0, 4, 5, 0, 0, 0, 0}, kOn},
};

class WebSeedPolicyTest : public testing::TestWithParam<PolicyCase> {};

TEST_P(WebSeedPolicyTest, Decides) {
    WebSeedPolicy policy(GetParam().downloadLimit);
    EXPECT_EQ(policy.Decide(GetParam().sample), GetParam().decision);
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSeedPolicyTest, testing::ValuesIn(kCases));

// Peers that hold what is missing but crawl get the web seeds back, once
// they have crawled for a while (a single slow look is a rate average that
// has not caught up yet).
TEST(WebSeedPolicySlowPeersTest, PutTheWebSeedsBackOnlyAfterCrawlingForAWhile) {
    WebSeedPolicy policy(kLimit);
    SwarmSample fast{5, true, 2, 1, 2, 2, 9 * kMiB, 0, 100 * kMiB, 0};
    EXPECT_EQ(policy.Decide(fast), kOff);
    SwarmSample crawl = fast;
    crawl.seconds = 6;
    crawl.peerRate = kMiB;
    EXPECT_EQ(policy.Decide(crawl), kOff);
    crawl.seconds = 10.5;
    EXPECT_EQ(policy.Decide(crawl), kOff);
    crawl.seconds = 11;
    EXPECT_EQ(policy.Decide(crawl), kOn);
    fast.seconds = 12;
    EXPECT_EQ(policy.Decide(fast), kOff);
    crawl.seconds = 13;
    EXPECT_EQ(policy.Decide(crawl), kOff);  // the wait starts again
}

// Peers that hold next to nothing yet are not judged: their rate has
// nothing to show, and the web seeds stay with the own stripe's rule.
TEST(WebSeedPolicySlowPeersTest, PeersThatHoldLittleAreNotJudged) {
    WebSeedPolicy policy(kLimit);
    SwarmSample s{1, true, 11, 0, 11, 12, 0, 0, 128 * kMiB, 128 * kMiB - kMiB, true, 0};
    for (double t : {1.0, 3.5, 6.5, 9.0}) {
        s.seconds = t;
        s.uncovered -= kMiB;  // shrinking: the others' stripes come in
        EXPECT_EQ(policy.Decide(s), kOff) << t;
    }
}

// An engine whose own stripe is done leaves the other engines' stripes to
// them, until the uncovered pieces stop shrinking.
TEST(WebSeedPolicyStripeTest, WaitsForTheOthersWhileTheirStripesShrink) {
    WebSeedPolicy policy(kLimit);
    SwarmSample s{4, true, 11, 0, 11, 12, 5 * kMiB, 0, 100 * kMiB, 60 * kMiB, true, 6 * kMiB};
    EXPECT_EQ(policy.Decide(s), kOn);
    s = {5, true, 11, 0, 11, 12, 5 * kMiB, 0, 90 * kMiB, 50 * kMiB, true, 0};
    EXPECT_EQ(policy.Decide(s), kOff);
    s.seconds = 7.5;
    s.uncovered = 40 * kMiB;
    EXPECT_EQ(policy.Decide(s), kOff);
    s.seconds = 10.5;  // no change for three seconds: the owner is gone or stuck
    EXPECT_EQ(policy.Decide(s), kOn);
}

struct StripeCase {
    const char* name;
    std::vector<bool> uncovered;
    int perChunk, rank, members;
    std::vector<bool> own;
};

void PrintTo(const StripeCase& c, std::ostream* os) {
    *os << c.name;
}

class OwnStripeTest : public testing::TestWithParam<StripeCase> {};

TEST_P(OwnStripeTest, DealsChunksInTurn) {
    const StripeCase& c = GetParam();
    EXPECT_EQ(ferrel::OwnStripe(c.uncovered, c.perChunk, c.rank, c.members), c.own);
}

const bool T = true, F = false;
INSTANTIATE_TEST_SUITE_P(
    Cases, OwnStripeTest,
    testing::Values(
        StripeCase{"second of three, chunks of two",
                   {T, T, T, T, T, T, T, T},
                   2,
                   1,
                   3,
                   {F, F, T, T, F, F, F, F}},
        StripeCase{"covered pieces are nobody's", {T, F, T, T, F, T}, 1, 0, 2, {T, F, T, F, F, F}},
        StripeCase{"alone: no stripes", {T, T}, 1, 0, 1, {}},
        StripeCase{"a rank outside the members", {T, T}, 1, 2, 2, {}}));

// Without a download limit the peers are judged against the best total
// rate seen, so that "slow" follows what this machine and line can take.
TEST(WebSeedPolicyCeilingTest, FollowsTheBestRateSeenWithoutALimit) {
    WebSeedPolicy policy(0);
    EXPECT_EQ(policy.Decide({1, true, 0, 0, 0, -1, 0, 60 * kMiB, 120 * kMiB, 120 * kMiB}), kOn);
    EXPECT_EQ(policy.Ceiling(), 60 * kMiB);
    WebSeedPolicy limited(kLimit);
    limited.Decide({1, true, 0, 0, 0, -1, 0, 60 * kMiB, 120 * kMiB, 120 * kMiB});
    EXPECT_EQ(limited.Ceiling(), kLimit);
}

}  // namespace
