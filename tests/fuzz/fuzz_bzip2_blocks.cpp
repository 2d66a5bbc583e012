// Decodes bzip2 streams block by block on two threads and in one library
// call, and checks that the block-wise decode never gives a result the
// one-call decode does not give byte for byte. Streams that pack several
// blocks cleanly must decode block-wise as well (an empty one has none).
//
// Input: a mode byte, four parameter bytes, then the payload. Mode bit 0:
// the payload seeds data that is packed here (level 1, so that a few
// hundred kB make several blocks); otherwise the payload is the stream.
// Bits 4-6 damage the stream (flip a bit, cut it, append the payload) and
// bit 3 declares a length other than the packed data's.
#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "korvel/update/bzip2_blocks.h"

namespace {

constexpr std::size_t kSlack = 600;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// Up to two blocks' worth of wordy bytes drawn from the payload.
std::string Expand(const std::uint8_t* seed, std::size_t size, unsigned blocks) {
    std::string out(seed, seed + size);
    std::uint32_t state = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        state = (state ^ seed[i]) * 16777619u;
    const std::size_t target = size + blocks * 40000;
    while (out.size() < target) {
        state = state * 1103515245u + 12345u;
        const std::size_t length = 2 + (state >> 16) % 8;
        for (std::size_t i = 0; i < length; ++i)
            out.push_back(static_cast<char>('a' + ((state >> (i + 8)) % 16)));
        out.push_back(' ');
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5)
        return 0;
    const unsigned mode = data[0];
    std::uint32_t param;
    std::memcpy(&param, data + 1, 4);
    const std::uint8_t* payload = data + 5;
    const std::size_t payloadSize = size - 5;

    std::string stream;
    std::size_t expected = 0;
    if (mode & 1) {
        const std::string plain = Expand(payload, payloadSize, (mode >> 1) & 3);
        stream.resize(plain.size() + plain.size() / 100 + 600);
        auto packedSize = static_cast<unsigned int>(stream.size());
        Require(
            BZ2_bzBuffToBuffCompress(stream.data(), &packedSize, const_cast<char*>(plain.data()),
                                     static_cast<unsigned int>(plain.size()), 1, 0, 0) == BZ_OK);
        stream.resize(packedSize);
        expected = plain.size();
    } else {
        stream.assign(reinterpret_cast<const char*>(payload), payloadSize);
        expected = param % (1u << 20);
    }
    const bool damaged = (mode & 0x78) != 0;
    if ((mode & 0x10) && !stream.empty())
        stream[param / 8 % stream.size()] ^= static_cast<char>(0x80 >> (param % 8));
    if ((mode & 0x20) && !stream.empty())
        stream.resize(param % stream.size());
    if (mode & 0x40)
        stream.append(reinterpret_cast<const char*>(payload), payloadSize);
    if (mode & 0x08)
        expected = (param & 1) && expected > 0 ? expected - 1 : expected + 1 + param % kSlack;

    std::string ours(expected + kSlack, '\0');
    const bool blockwise = DecodeBzip2Blocks(
        reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
        reinterpret_cast<unsigned char*>(ours.data()), ours.size(), expected, 2, SIZE_MAX);

    std::string reference(expected + kSlack, '\0');
    auto produced = static_cast<unsigned int>(reference.size());
    const int rc = BZ2_bzBuffToBuffDecompress(reference.data(), &produced, stream.data(),
                                              static_cast<unsigned int>(stream.size()), 0, 0);
    const bool oneCall = rc == BZ_OK && produced == expected;

    if (blockwise)
        Require(oneCall && std::memcmp(ours.data(), reference.data(), expected) == 0);
    // A stream without blocks (nothing packed) is left to the one-call decode.
    if ((mode & 1) && !damaged && expected > 0)
        Require(blockwise);
    return 0;
}
