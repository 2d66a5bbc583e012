#include "korvel/update/bzip2_blocks.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>

#include "tests/korvel/update/bzip2_test_data.h"

namespace {

constexpr std::size_t kNoLimit = SIZE_MAX;
constexpr std::size_t kSlack = 600;

// Text-like data that packs to about a third: words drawn at random.
std::string Wordy(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out;
    while (out.size() < size) {
        const int length = 2 + static_cast<int>(rng() % 8);
        for (int i = 0; i < length; ++i)
            out.push_back(static_cast<char>('a' + rng() % 20));
        out.push_back(' ');
    }
    out.resize(size);
    return out;
}

using bzip2_test::Bytes;
using bzip2_test::Compress;

// What the library makes of the stream in one call into expected + slack
// bytes: the output when it ends cleanly with exactly expected bytes.
bool OneCall(const std::string& packed, std::size_t expected, std::string& out) {
    out.assign(expected + kSlack, '\0');
    auto size = static_cast<unsigned int>(out.size());
    const int rc = BZ2_bzBuffToBuffDecompress(out.data(), &size, const_cast<char*>(packed.data()),
                                              static_cast<unsigned int>(packed.size()), 0, 0);
    out.resize(size);
    return rc == BZ_OK && size == expected;
}

bool Parallel(const std::string& packed, std::size_t expected, std::string& out,
              unsigned threads = 3) {
    out.assign(expected + kSlack, '\0');
    const bool ok = DecodeBzip2Blocks(Bytes(packed), packed.size(),
                                      reinterpret_cast<unsigned char*>(out.data()), out.size(),
                                      expected, threads, kNoLimit);
    out.resize(expected);
    return ok;
}

// Flips one bit at the given bit position.
std::string FlipBit(std::string s, std::uint64_t bit) {
    s[bit / 8] = static_cast<char>(s[bit / 8] ^ (0x80 >> (bit % 8)));
    return s;
}

// Streams of level 1 (100 kB blocks); the multi-block one has five.
const std::string kData = Wordy(450000, 1);
const std::string kStream = Compress(kData, 1);

TEST(Bzip2BlocksTest, MarksOfARealStreamAreItsBlocksAndItsEnd) {
    const auto marks = FindBzip2Marks(Bytes(kStream), kStream.size(), 2);
    ASSERT_EQ(marks.size(), 6u);
    EXPECT_EQ(marks[0], (Bzip2Mark{32, false}));
    for (std::size_t i = 1; i < 5; ++i)
        EXPECT_FALSE(marks[i].end);
    EXPECT_TRUE(marks[5].end);
    // The end marker, its CRC and at most 7 bits of padding close the stream.
    EXPECT_LE(kStream.size() * 8 - (marks[5].bit + 80), 7u);
}

// Magics planted at every bit offset, near the header, across the chunks
// of a threaded scan and flush with the end are all found, once, in order.
TEST(Bzip2BlocksTest, ScanFindsMagicsAtEveryBitOffset) {
    std::mt19937 rng(7);
    std::string buffer(3u << 20, '\0');
    for (auto& c : buffer)
        c = static_cast<char>(rng() % 7);  // bytes no magic byte equals
    buffer.replace(0, 4, "BZh9");
    std::vector<Bzip2Mark> planted;
    auto plant = [&](std::uint64_t bit, bool end) {
        const std::uint64_t magic = end ? kBzip2EndMagic : kBzip2BlockMagic;
        for (int k = 0; k < 48; ++k) {
            const std::uint64_t at = bit + k;
            const char mask = static_cast<char>(0x80 >> (at % 8));
            if ((magic >> (47 - k)) & 1)
                buffer[at / 8] |= mask;
            else
                buffer[at / 8] &= static_cast<char>(~mask);
        }
        planted.push_back({bit, end});
    };
    plant(32, false);
    for (unsigned s = 0; s < 8; ++s)
        plant(1000 + 8 * 100 * s + s, s % 2 == 1);
    for (unsigned i = 1; i < 8; ++i)  // around the chunk borders of 2..8 threads
        for (unsigned t = 2; t <= 8; ++t)
            if (i < t)
                plant((5 + (buffer.size() - 5) * i / t) * 8 - 20 - 8 * i / t, false);
    std::sort(planted.begin(), planted.end(), [](auto& a, auto& b) { return a.bit < b.bit; });
    planted.erase(std::unique(planted.begin(), planted.end()), planted.end());
    plant(buffer.size() * 8 - 48, true);

    for (unsigned threads : {1u, 2u, 3u, 8u})
        EXPECT_EQ(FindBzip2Marks(Bytes(buffer), buffer.size(), threads), planted) << threads;
}

TEST(Bzip2BlocksTest, AgreesWithTheOneCallDecode) {
    const std::string runs = std::string(6u << 20, 'a') + Wordy(1000, 2) +
                             std::string(6u << 20, 'b');  // blocks far beyond their room
    const std::string small = Wordy(1000, 3);
    const std::string second = Compress(Wordy(200000, 4), 1);
    const std::uint64_t endBit = FindBzip2Marks(Bytes(kStream), kStream.size()).back().bit;
    const std::uint64_t thirdBlock = FindBzip2Marks(Bytes(kStream), kStream.size())[2].bit;

    struct Case {
        const char* what;
        std::string packed;
        std::size_t expected;
        bool decodes;
    } cases[] = {
        {"five blocks", kStream, kData.size(), true},
        {"level 9, one block", Compress(small, 9), small.size(), true},
        {"long runs", Compress(runs, 1), runs.size(), true},
        {"a second stream behind is ignored", kStream + second, kData.size(), true},
        {"a second stream is not counted", kStream + second, kData.size() + 200000, false},
        {"one byte more declared", kStream, kData.size() + 1, false},
        {"one byte fewer declared", kStream, kData.size() - 1, false},
        {"nothing declared", kStream, 0, false},
        {"bit flipped in the third block's data", FlipBit(kStream, thirdBlock + 20000 * 8),
         kData.size(), false},
        {"bit flipped in the third block's CRC", FlipBit(kStream, thirdBlock + 60), kData.size(),
         false},
        {"bit flipped in the stream CRC", FlipBit(kStream, endBit + 70), kData.size(), false},
        {"cut inside the last block", kStream.substr(0, kStream.size() - 5000), kData.size(),
         false},
        {"cut inside the stream CRC", kStream.substr(0, kStream.size() - 2), kData.size(), false},
        {"header only", kStream.substr(0, 4), kData.size(), false},
        {"level byte out of range", "BZh0" + kStream.substr(4), kData.size(), false},
        {"not bzip2", "BZx9" + kStream.substr(4), kData.size(), false},
    };
    for (const auto& c : cases) {
        std::string parallel, reference;
        const bool ours = Parallel(c.packed, c.expected, parallel);
        EXPECT_EQ(ours, c.decodes) << c.what;
        EXPECT_EQ(OneCall(c.packed, c.expected, reference), c.decodes) << c.what;
        if (ours) {
            EXPECT_TRUE(parallel == reference) << c.what;
        }
    }
}

// A cut where no block starts, or a block boundary not cut at, must not
// give a result: both are what a magic inside coded data, or one missed,
// would look like.
TEST(Bzip2BlocksTest, WrongCutsAreRefused) {
    const auto marks = FindBzip2Marks(Bytes(kStream), kStream.size());
    auto decode = [&](const std::vector<Bzip2Mark>& cuts, unsigned threads) {
        std::string out(kData.size() + kSlack, '\0');
        const bool ok = DecodeBzip2AtMarks(Bytes(kStream), kStream.size(), cuts,
                                           reinterpret_cast<unsigned char*>(out.data()), out.size(),
                                           kData.size(), threads, kNoLimit);
        return ok && out.compare(0, kData.size(), kData) == 0;
    };
    auto with = [&](std::uint64_t bit, bool end) {
        auto cuts = marks;
        cuts.push_back({bit, end});
        std::sort(cuts.begin(), cuts.end(), [](auto& a, auto& b) { return a.bit < b.bit; });
        return cuts;
    };
    auto without = [&](std::size_t index) {
        auto cuts = marks;
        cuts.erase(cuts.begin() + static_cast<std::ptrdiff_t>(index));
        return cuts;
    };
    struct Case {
        const char* what;
        std::vector<Bzip2Mark> cuts;
        bool decodes;
    } cases[] = {
        {"the real cuts", marks, true},
        {"a block cut at a byte boundary", with(marks[1].bit + 8000 * 8, false), false},
        {"a block cut at an odd bit", with(marks[2].bit + 30001, false), false},
        {"an end inside the last block", with(marks[4].bit + 999, true), false},
        {"two blocks in one piece", without(2), false},
        {"the first block missing", without(0), false},
        {"the end missing", without(5), false},
        {"no cuts", {}, false},
    };
    for (const auto& c : cases)
        for (unsigned threads : {1u, 2u, 4u})
            EXPECT_EQ(decode(c.cuts, threads), c.decodes) << c.what << ", " << threads;
}

TEST(Bzip2BlocksTest, StaysWithinItsMemoryOrDeclines) {
    std::string out;
    out.assign(kData.size() + kSlack, '\0');
    auto decode = [&](std::size_t extra, unsigned threads) {
        return DecodeBzip2Blocks(Bytes(kStream), kStream.size(),
                                 reinterpret_cast<unsigned char*>(out.data()), out.size(),
                                 kData.size(), threads, extra);
    };
    EXPECT_TRUE(decode(Bzip2DecodeFootprint(1, 4), 4));
    EXPECT_TRUE(decode(Bzip2DecodeFootprint(1, 1), 4));  // with fewer threads
    EXPECT_FALSE(decode(Bzip2DecodeFootprint(1, 1) - 1, 4));
    EXPECT_FALSE(decode(kNoLimit, 0));
}

}  // namespace
