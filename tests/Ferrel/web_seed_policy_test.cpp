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
constexpr std::int64_t kTrickle = WebSeedPolicy::kTrickle;

struct PolicyCase {
    const char* name;
    std::int64_t downloadLimit;
    SwarmSample sample;
    std::int64_t limit;  // 0: unlimited
};

void PrintTo(const PolicyCase& c, std::ostream* os) {
    *os << c.name;
}

// seconds, trackerAnswered, peers, seeds, known, swarm, peerRate, webRate, missing, uncovered
const PolicyCase kCases[] = {
    {"alone, the web seed runs free",
     kLimit,
     {5, true, 0, 0, 0, -1, 0, 9 * kMiB, 100 * kMiB, 100 * kMiB},
     0},
    {"before the tracker answers",
     kLimit,
     {0.5, false, 0, 0, 0, -1, 0, 0, 128 * kMiB, 128 * kMiB},
     kTrickle},
    {"a tracker that never answers",
     kLimit,
     {2.5, false, 0, 0, 0, -1, 0, 0, 128 * kMiB, 128 * kMiB},
     0},
    {"engines still connecting",
     kLimit,
     {0.3, true, 0, 0, 5, 6, 0, 0, 128 * kMiB, 128 * kMiB},
     kTrickle},
    {"the tracker names only this engine",
     kLimit,
     {0.5, true, 0, 0, 1, 1, 0, 0, 128 * kMiB, 128 * kMiB},
     0},
    {"the end of the own stripe",
     kLimit,
     {8, true, 11, 0, 11, 12, 5 * kMiB, 0, 60 * kMiB, 20 * kMiB, true, 2 * kMiB},
     static_cast<std::int64_t>(2 * kMiB / 3.0)},
    {"peers named by the tracker that never connect",
     kLimit,
     {3.5, true, 0, 0, 5, 6, 0, 0, 128 * kMiB, 128 * kMiB},
     0},
    {"twelve empty engines share one engine's rate",
     kLimit,
     {4, true, 11, 0, 11, 12, 0, 0, 128 * kMiB, 128 * kMiB},
     kLimit / 12},
    {"the tracker counts more engines than are connected",
     kLimit,
     {4, true, 3, 0, 3, 12, 0, 0, 128 * kMiB, 128 * kMiB},
     kLimit / 12},
    {"peers that hold a little, not judged yet",
     kLimit,
     {4, true, 11, 0, 11, 12, 0, kMiB, 120 * kMiB, 115 * kMiB},
     kLimit / 12},
    {"peers hold everything and deliver",
     kLimit,
     {6, true, 11, 0, 11, 12, 9 * kMiB, 0, 60 * kMiB, 0},
     WebSeedPolicy::kOff},
    {"a seed box delivers",
     kLimit,
     {3, true, 1, 1, 1, 1, 8 * kMiB, 0, 100 * kMiB, 0},
     WebSeedPolicy::kOff},
    {"peers bring what they hold in time",
     kLimit,
     {6, true, 5, 0, 5, 6, 4 * kMiB, 0, 100 * kMiB, 40 * kMiB},
     kLimit / 6},
    {"nothing left", kLimit, {9, true, 4, 0, 4, 5, 0, 0, 0, 0}, 0},
    {"no download limit: the assumed ceiling",
     0,
     {4, true, 7, 0, 7, 8, 0, 0, 128 * kMiB, 128 * kMiB},
     WebSeedPolicy::kDefaultCeiling / 8},
};

class WebSeedPolicyTest : public testing::TestWithParam<PolicyCase> {};

TEST_P(WebSeedPolicyTest, Decides) {
    WebSeedPolicy policy(GetParam().downloadLimit);
    EXPECT_EQ(policy.Decide(GetParam().sample), GetParam().limit);
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSeedPolicyTest, testing::ValuesIn(kCases));

// Peers that hold what is missing but crawl get the web seeds back at full
// speed, once they have crawled for a while (a single slow look is a rate
// average that has not caught up yet).
TEST(WebSeedPolicySlowPeersTest, FreeTheWebSeedsOnlyAfterCrawlingForAWhile) {
    WebSeedPolicy policy(kLimit);
    SwarmSample crawl{6, true, 2, 1, 2, 2, kMiB, 0, 100 * kMiB, 0};
    EXPECT_EQ(policy.Decide(crawl), WebSeedPolicy::kOff);
    crawl.seconds = 8;
    EXPECT_EQ(policy.Decide(crawl), WebSeedPolicy::kOff);
    crawl.seconds = 9;
    EXPECT_EQ(policy.Decide(crawl), 0);
    SwarmSample fast = crawl;
    fast.seconds = 10;
    fast.peerRate = 9 * kMiB;
    EXPECT_EQ(policy.Decide(fast), WebSeedPolicy::kOff);
    crawl.seconds = 11;
    EXPECT_EQ(policy.Decide(crawl), WebSeedPolicy::kOff);  // the wait starts again
}

// An engine whose own stripe is done leaves the other engines' stripes to
// them, until the uncovered pieces stop shrinking.
TEST(WebSeedPolicyStripeTest, WaitsForTheOthersWhileTheirStripesShrink) {
    WebSeedPolicy policy(kLimit);
    SwarmSample s{4, true, 11, 0, 11, 12, 5 * kMiB, 0, 100 * kMiB, 60 * kMiB, true, 6 * kMiB};
    EXPECT_EQ(policy.Decide(s), kLimit / 12);
    s = {5, true, 11, 0, 11, 12, 5 * kMiB, 0, 90 * kMiB, 50 * kMiB, true, 0};
    EXPECT_EQ(policy.Decide(s), WebSeedPolicy::kOff);
    s.seconds = 7.5;
    s.uncovered = 40 * kMiB;
    EXPECT_EQ(policy.Decide(s), WebSeedPolicy::kOff);
    s.seconds = 10.5;  // no change for three seconds: the owner is gone or stuck
    EXPECT_EQ(policy.Decide(s), kLimit / 12);
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

// Without a download limit the ceiling grows to the best total rate seen, so
// that the shares follow what this machine and line can take.
TEST(WebSeedPolicyCeilingTest, FollowsTheBestRateSeenWithoutALimit) {
    WebSeedPolicy policy(0);
    EXPECT_EQ(policy.Decide({1, true, 0, 0, 0, -1, 0, 60 * kMiB, 120 * kMiB, 120 * kMiB}), 0);
    EXPECT_EQ(policy.Ceiling(), 60 * kMiB);
    EXPECT_EQ(policy.Decide({4, true, 3, 0, 3, 4, 0, 20 * kMiB, 60 * kMiB, 60 * kMiB}), 15 * kMiB);
    WebSeedPolicy limited(kLimit);
    limited.Decide({1, true, 0, 0, 0, -1, 0, 60 * kMiB, 120 * kMiB, 120 * kMiB});
    EXPECT_EQ(limited.Ceiling(), kLimit);
}

}  // namespace
