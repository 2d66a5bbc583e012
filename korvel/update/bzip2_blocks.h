// bzip2 streams decoded block by block on several threads. A stream is a
// 4-byte header ("BZh" and the block size level), blocks that each start
// with a 48-bit magic at any bit offset and carry the CRC of their output,
// and an end marker with the CRC combined over all blocks. Each block is
// decoded by Bzip2BlockDecoder; a block it turns down, or whose output is
// too big for a thread's slot, is re-framed as a stream of its own (whose
// stream CRC is the block CRC) and handed to libbz2.
//
// Nothing here reports errors: a stream that does not decode cleanly this
// way (damaged, cut, a magic that is really part of the coded data, a length
// other than expected) gives false, and the caller decodes it in one call to
// learn what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr std::uint64_t kBzip2BlockMagic = 0x314159265359;
inline constexpr std::uint64_t kBzip2EndMagic = 0x177245385090;

struct Bzip2Mark {
    std::uint64_t bit = 0;  // where the magic starts, in bits from the stream's start
    bool end = false;       // the end-of-stream magic rather than a block's
    bool operator==(const Bzip2Mark&) const = default;
};

// Every place a block or end magic occurs after the 4-byte header, in
// order, found on up to `threads` threads. Some may lie inside coded data.
std::vector<Bzip2Mark> FindBzip2Marks(const unsigned char* packed, std::size_t size,
                                      unsigned threads = 1);

// Threads worth using for decoding on this machine: its cores, at most 8.
unsigned Bzip2DecodeThreads();

// Bytes the decoding takes besides the packed and unpacked buffers with
// `threads` threads for a stream of the given block size level (1-9).
std::size_t Bzip2DecodeFootprint(unsigned level, unsigned threads);

// Decodes the first stream in packed into out, which has room for
// `capacity` bytes, cutting it at the given marks (as FindBzip2Marks gives
// them). True only when every block and the stream CRC check out and the
// output is exactly `expected` bytes: then out holds what a one-call decode
// gives. Gives false without using more than extraMemory bytes of its own
// (see Bzip2DecodeFootprint) or when threads is below 1.
bool DecodeBzip2AtMarks(const unsigned char* packed, std::size_t size,
                        const std::vector<Bzip2Mark>& marks, unsigned char* out,
                        std::size_t capacity, std::size_t expected, unsigned threads,
                        std::size_t extraMemory);

// FindBzip2Marks and DecodeBzip2AtMarks together.
bool DecodeBzip2Blocks(const unsigned char* packed, std::size_t size, unsigned char* out,
                       std::size_t capacity, std::size_t expected, unsigned threads,
                       std::size_t extraMemory);
