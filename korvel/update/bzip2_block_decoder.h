// One bzip2 block decoded without libbz2: table-driven Huffman decoding,
// the inverse Burrows-Wheeler transform walked on several chains at once
// and a CRC taken eight bytes at a time.
//
// It accepts only what is plainly well-formed: complete Huffman codes, no
// randomised blocks, at most as many selectors as libbz2 keeps, a block
// that ends exactly where the next magic begins and whose CRC checks out.
// Whatever it turns down is left to libbz2, which has the last word; so a
// block it accepts is one libbz2 decodes to the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

inline constexpr unsigned kBzip2WalkChains = 4;

class Bzip2BlockDecoder {
  public:
    enum class Result { Ok, Full, Refused };

    // For streams of block size level 1-9.
    explicit Bzip2BlockDecoder(unsigned level);

    // Bytes this decoder holds for a level.
    static std::size_t Footprint(unsigned level);

    // Decodes the block whose magic starts at bit `begin` of packed and which
    // ends at bit `end` into out (room bytes). Ok: produced bytes, CRC equal
    // to the block's stored one. Full: the output would not fit (room also
    // holds the block's transformed bytes while they are turned into output).
    Result Decode(const unsigned char* packed, std::size_t size, std::uint64_t begin,
                  std::uint64_t end, unsigned char* out, std::size_t room, std::size_t& produced);

  private:
    unsigned level_;
    std::unique_ptr<std::uint32_t[]> tt_;
    std::unique_ptr<unsigned char[]> walked_;
    std::array<std::vector<std::uint32_t>, kBzip2WalkChains> pages_;
};

// The CRC bzip2 keeps over a block's output.
std::uint32_t Bzip2Crc(const unsigned char* data, std::size_t size);
