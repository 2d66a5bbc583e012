#include "korvel/update/bzip2_block_decoder.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "korvel/update/bzip2_blocks.h"
#include "tests/korvel/update/bzip2_test_data.h"

namespace {

using bzip2_test::Bytes;
using bzip2_test::Compress;

std::string Sample(const char* kind, std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out;
    const std::string kinds = kind;
    while (out.size() < size) {
        if (kinds == "random") {
            out.push_back(static_cast<char>(rng()));
        } else if (kinds == "runs") {  // runs of every length around the run marker's 4
            out.append(1 + rng() % 300, static_cast<char>('a' + rng() % 3));
        } else {
            for (unsigned i = 2 + rng() % 8; i > 0; --i)
                out.push_back(static_cast<char>('a' + rng() % 20));
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

// Every block of the stream through the decoder, in order: true when each
// gives Ok; out holds their output.
bool DecodeEach(const std::string& packed, std::string& out, std::size_t room = 1u << 21) {
    const auto marks = FindBzip2Marks(Bytes(packed), packed.size());
    Bzip2BlockDecoder decoder(static_cast<unsigned>(packed[3] - '0'));
    std::vector<unsigned char> block(room);
    out.clear();
    for (std::size_t i = 0; i + 1 < marks.size() && !marks[i].end; ++i) {
        std::size_t produced = 0;
        if (decoder.Decode(Bytes(packed), packed.size(), marks[i].bit, marks[i + 1].bit,
                           block.data(), block.size(), produced) != Bzip2BlockDecoder::Result::Ok)
            return false;
        out.append(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(produced));
    }
    return true;
}

TEST(Bzip2BlockDecoderTest, DecodesWhatTheLibraryMakes) {
    struct Case {
        const char* kind;
        std::size_t size;
        int level;
    } cases[] = {
        {"wordy", 450000, 1}, {"random", 250000, 1}, {"runs", 400000, 1}, {"wordy", 2000000, 9},
        {"wordy", 1, 9},      {"runs", 3000, 2},  // too small to split the walk
    };
    for (const auto& c : cases) {
        const std::string data = Sample(c.kind, c.size, 5);
        std::string out;
        EXPECT_TRUE(DecodeEach(Compress(data, c.level), out)) << c.kind << " " << c.level;
        EXPECT_TRUE(out == data) << c.kind << " " << c.level;
    }
}

TEST(Bzip2BlockDecoderTest, OutputThatDoesNotFitIsFull) {
    const std::string packed = Compress(std::string(1u << 20, 'z'), 1);
    const auto marks = FindBzip2Marks(Bytes(packed), packed.size());
    Bzip2BlockDecoder decoder(1);
    std::vector<unsigned char> out(150000);
    std::size_t produced = 0;
    EXPECT_EQ(decoder.Decode(Bytes(packed), packed.size(), marks[0].bit, marks[1].bit, out.data(),
                             out.size(), produced),
              Bzip2BlockDecoder::Result::Full);
}

// A damaged block is turned down (the library then judges it); it never
// comes out as other bytes.
TEST(Bzip2BlockDecoderTest, DamageIsRefused) {
    const std::string data = Sample("wordy", 90000, 6);
    const std::string packed = Compress(data, 1);
    const auto marks = FindBzip2Marks(Bytes(packed), packed.size());
    ASSERT_EQ(marks.size(), 2u);
    Bzip2BlockDecoder decoder(1);
    std::vector<unsigned char> out(200000);
    for (std::uint64_t bit = marks[0].bit + 48; bit < marks[1].bit; bit += 2999) {
        std::string damaged = packed;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (0x80 >> (bit % 8)));
        std::size_t produced = 0;
        EXPECT_NE(decoder.Decode(Bytes(damaged), damaged.size(), marks[0].bit, marks[1].bit,
                                 out.data(), out.size(), produced),
                  Bzip2BlockDecoder::Result::Ok)
            << bit;
    }
    // Cut one bit short or long: the block must end where the next magic begins.
    std::size_t produced = 0;
    for (std::uint64_t end : {marks[1].bit - 1, marks[1].bit + 1})
        EXPECT_EQ(decoder.Decode(Bytes(packed), packed.size(), marks[0].bit, end, out.data(),
                                 out.size(), produced),
                  Bzip2BlockDecoder::Result::Refused);
}

TEST(Bzip2BlockDecoderTest, CrcMatchesTheCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Bzip2Crc(Bytes(check), check.size()), 0xFC891918u);
    const std::string longer = Sample("random", 1000, 7);
    std::uint32_t bytewise = 0xFFFFFFFFu;
    for (unsigned char b : longer)
        for (int k = 0; k < 8; ++k) {
            const bool top = ((bytewise >> 31) ^ (b >> (7 - k))) & 1;
            bytewise = (bytewise << 1) ^ (top ? 0x04C11DB7u : 0);
        }
    EXPECT_EQ(Bzip2Crc(Bytes(longer), longer.size()), ~bytewise);
}

}  // namespace
