#include "korvel/update/bzip2_block_decoder.h"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kMaxGroups = 6;
constexpr unsigned kMaxAlpha = 258;
constexpr unsigned kMaxCodeLength = 20;
constexpr unsigned kMaxSelectors = 18002;
constexpr unsigned kGroupSize = 50;
// Codes up to this many bits are decoded by one table look-up.
constexpr unsigned kLookupBits = 10;
// The inverse transform's entries: a byte, the next position above it and
// a flag on the positions where a chain of the walk starts.
constexpr std::uint32_t kNextMask = 0xFFFFF;
constexpr std::uint32_t kStartFlag = 0x80000000u;
constexpr unsigned kChains = kBzip2WalkChains;
constexpr std::uint32_t kPage = 4096;

// Pages of the walk for a block of the level, with room for each chain's
// last, partly filled page.
std::uint32_t PoolPages(unsigned level) {
    return (level * 100000u + kPage - 1) / kPage + kChains;
}

struct CrcTables {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    CrcTables() {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t c = b << 24;
            for (int k = 0; k < 8; ++k)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[0][b] = c;
        }
        for (unsigned k = 1; k < 8; ++k)
            for (unsigned b = 0; b < 256; ++b)
                t[k][b] = (t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 24];
    }
};

const CrcTables& Crc() {
    static const CrcTables tables;
    return tables;
}

std::uint32_t LoadBe32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// Bits of packed from a given bit onward, most significant first; bits
// past the end read as zero. Peek gives up to 32 bits.
class BitReader {
  public:
    BitReader(const unsigned char* data, std::size_t size, std::uint64_t bit)
        : data_(data), size_(size), byte_(static_cast<std::size_t>(bit / 8)) {
        Refill();
        Skip(bit % 8);
        consumed_ = 0;
    }
    std::uint32_t Peek(unsigned count) {
        if (avail_ < count)
            Refill();
        return static_cast<std::uint32_t>(buffer_ >> (64 - count));
    }
    void Skip(unsigned count) {
        buffer_ <<= count;
        avail_ -= count;
        consumed_ += count;
    }
    std::uint32_t Get(unsigned count) {
        const std::uint32_t v = Peek(count);
        Skip(count);
        return v;
    }
    // Bits taken since the start position.
    std::uint64_t Consumed() const { return consumed_; }

  private:
    void Refill() {
        if (byte_ + 8 <= size_) {
            // Whole bytes below the valid bits; a partial byte at the bottom
            // is read again, to the same place, next time.
            std::uint64_t w = 0;
            for (int k = 0; k < 8; ++k)
                w = (w << 8) | data_[byte_ + k];
            buffer_ |= w >> avail_;
            const unsigned take = (63 - avail_) / 8;
            byte_ += take;
            avail_ += take * 8;
            return;
        }
        while (avail_ <= 56) {
            const std::uint64_t b = byte_ < size_ ? data_[byte_] : 0u;
            ++byte_;
            buffer_ |= b << (56 - avail_);
            avail_ += 8;
        }
    }
    const unsigned char* data_;
    std::size_t size_;
    std::size_t byte_;
    std::uint64_t buffer_ = 0;
    unsigned avail_ = 0;
    std::uint64_t consumed_ = 0;
};

// A canonical Huffman code as bzip2 assigns it: shorter codes first, equal
// lengths in symbol order.
struct HuffmanTable {
    // (symbol << 5) | length for codes of at most kLookupBits bits, 0 otherwise.
    std::array<std::uint16_t, 1u << kLookupBits> lookup{};
    std::array<std::uint32_t, kMaxCodeLength + 2> first{};  // first code of each length
    std::array<std::uint32_t, kMaxCodeLength + 2> count{};
    std::array<std::uint32_t, kMaxCodeLength + 2> offset{};  // index into symbols
    std::array<std::uint16_t, kMaxAlpha> symbols{};
    unsigned maxLength = 0;

    // False for a code that is not complete (or over-full).
    bool Build(const unsigned char* lengths, unsigned alphaSize) {
        count.fill(0);
        maxLength = 0;
        for (unsigned i = 0; i < alphaSize; ++i) {
            ++count[lengths[i]];
            if (lengths[i] > maxLength)
                maxLength = lengths[i];
        }
        std::uint64_t kraft = 0;
        for (unsigned len = 1; len <= kMaxCodeLength; ++len)
            kraft += std::uint64_t{count[len]} << (kMaxCodeLength - len);
        if (kraft != (1u << kMaxCodeLength))
            return false;
        std::uint32_t code = 0, index = 0;
        for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
            first[len] = code;
            offset[len] = index;
            code = (code + count[len]) << 1;
            index += count[len];
        }
        std::array<std::uint32_t, kMaxCodeLength + 2> next = offset;
        for (unsigned i = 0; i < alphaSize; ++i)
            symbols[next[lengths[i]]++] = static_cast<std::uint16_t>(i);
        lookup.fill(0);
        for (unsigned len = 1; len <= kLookupBits && len <= maxLength; ++len) {
            for (std::uint32_t k = 0; k < count[len]; ++k) {
                const std::uint32_t c = first[len] + k;
                const std::uint16_t entry =
                    static_cast<std::uint16_t>((symbols[offset[len] + k] << 5) | len);
                const unsigned spread = kLookupBits - len;
                for (std::uint32_t fill = 0; fill < (1u << spread); ++fill)
                    lookup[(c << spread) | fill] = entry;
            }
        }
        return true;
    }

    unsigned Decode(BitReader& in) const {
        const std::uint16_t entry = lookup[in.Peek(kLookupBits)];
        if (entry) {
            in.Skip(entry & 31u);
            return entry >> 5;
        }
        const std::uint32_t bits = in.Peek(kMaxCodeLength);
        for (unsigned len = kLookupBits + 1; len <= maxLength; ++len) {
            const std::uint32_t c = bits >> (kMaxCodeLength - len);
            if (c - first[len] < count[len]) {
                in.Skip(len);
                return symbols[offset[len] + (c - first[len])];
            }
        }
        return kMaxAlpha;  // unreachable for a complete code
    }
};

// Moves list[n] to the front and gives it. Most indexes are small: those
// move within one 64-bit word.
unsigned char MoveToFront(unsigned char* list, unsigned n) {
    if constexpr (std::endian::native == std::endian::little) {
        if (n < 8) {
            std::uint64_t w;
            std::memcpy(&w, list, 8);
            const std::uint64_t low =
                n == 7 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n + 8)) - 1;
            const auto v = static_cast<unsigned char>(w >> (8 * n));
            w = (w & ~low) | ((w << 8) & low) | v;
            std::memcpy(list, &w, 8);
            return v;
        }
    }
    const unsigned char v = list[n];
    std::memmove(list + 1, list, n);
    list[0] = v;
    return v;
}

}  // namespace

std::uint32_t Bzip2Crc(const unsigned char* data, std::size_t size) {
    const auto& t = Crc().t;
    std::uint32_t crc = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint32_t a = crc ^ LoadBe32(data + i);
        const std::uint32_t b = LoadBe32(data + i + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
              t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
    }
    for (; i < size; ++i)
        crc = (crc << 8) ^ t[0][(crc >> 24) ^ data[i]];
    return ~crc;
}

Bzip2BlockDecoder::Bzip2BlockDecoder(unsigned level)
    : level_(level),
      tt_(std::make_unique_for_overwrite<std::uint32_t[]>(level * 100000u)),
      walked_(
          std::make_unique_for_overwrite<unsigned char[]>(std::size_t{PoolPages(level)} * kPage)) {
    for (auto& list : pages_)
        list.reserve(PoolPages(level));
}

std::size_t Bzip2BlockDecoder::Footprint(unsigned level) {
    return level * 400000u + std::size_t{PoolPages(level)} * (kPage + kChains * 4) +
           sizeof(Bzip2BlockDecoder) + 6 * sizeof(HuffmanTable) + 4096;
}

Bzip2BlockDecoder::Result Bzip2BlockDecoder::Decode(const unsigned char* packed, std::size_t size,
                                                    std::uint64_t begin, std::uint64_t end,
                                                    unsigned char* out, std::size_t room,
                                                    std::size_t& produced) {
    produced = 0;
    if (end <= begin || end - begin > std::uint64_t{size} * 8)
        return Result::Refused;
    const std::uint64_t bits = end - begin;
    BitReader in(packed, size, begin);
    in.Get(24);
    in.Get(24);  // the magic
    const std::uint32_t storedCrc = (in.Get(16) << 16) | in.Get(16);
    if (in.Get(1))  // randomised
        return Result::Refused;
    const std::uint32_t origPtr = in.Get(24);

    // The bytes in use.
    std::array<unsigned char, 256> seqToUnseq{};
    unsigned inUse = 0;
    const std::uint32_t groups16 = in.Get(16);
    for (unsigned i = 0; i < 16; ++i) {
        if (!(groups16 & (0x8000u >> i)))
            continue;
        const std::uint32_t used = in.Get(16);
        for (unsigned j = 0; j < 16; ++j)
            if (used & (0x8000u >> j))
                seqToUnseq[inUse++] = static_cast<unsigned char>(i * 16 + j);
    }
    if (inUse == 0)
        return Result::Refused;
    const unsigned alphaSize = inUse + 2;

    const unsigned nGroups = in.Get(3);
    if (nGroups < 2 || nGroups > kMaxGroups)
        return Result::Refused;
    const unsigned nSelectors = in.Get(15);
    if (nSelectors < 1 || nSelectors > kMaxSelectors)
        return Result::Refused;
    std::array<unsigned char, kMaxSelectors> selectors;
    {
        std::array<unsigned char, kMaxGroups> mtf{0, 1, 2, 3, 4, 5};
        for (unsigned i = 0; i < nSelectors; ++i) {
            unsigned j = 0;
            while (in.Get(1)) {
                if (++j >= nGroups)
                    return Result::Refused;
            }
            const unsigned char v = mtf[j];
            for (; j > 0; --j)
                mtf[j] = mtf[j - 1];
            mtf[0] = v;
            selectors[i] = v;
        }
        if (bits < in.Consumed())
            return Result::Refused;
    }

    std::array<HuffmanTable, kMaxGroups> tables;
    for (unsigned t = 0; t < nGroups; ++t) {
        std::array<unsigned char, kMaxAlpha> lengths;
        unsigned curr = in.Get(5);
        for (unsigned i = 0; i < alphaSize; ++i) {
            for (;;) {
                if (curr < 1 || curr > kMaxCodeLength)
                    return Result::Refused;
                if (!in.Get(1))
                    break;
                curr = in.Get(1) ? curr - 1 : curr + 1;
            }
            lengths[i] = static_cast<unsigned char>(curr);
        }
        if (!tables[t].Build(lengths.data(), alphaSize))
            return Result::Refused;
    }

    // Huffman symbols, runs of the front byte and move-to-front indexes.
    const std::uint32_t blockMax = level_ * 100000u;
    std::uint32_t* tt = tt_.get();
    std::array<std::uint32_t, 256> counts{};
    std::array<unsigned char, 256> mtf;
    for (unsigned i = 0; i < 256; ++i)
        mtf[i] = static_cast<unsigned char>(i);
    const unsigned eob = inUse + 1;
    std::uint32_t nblock = 0;
    unsigned group = 0, left = 0;
    const HuffmanTable* table = nullptr;
    std::uint32_t runLength = 0, runWeight = 1;
    for (;;) {
        if (left == 0) {
            if (group >= nSelectors)
                return Result::Refused;
            table = &tables[selectors[group++]];
            left = kGroupSize;
            // Stop early on a block that reads past its end.
            if (in.Consumed() > bits)
                return Result::Refused;
        }
        --left;
        const unsigned sym = table->Decode(in);
        if (sym <= 1) {  // RUNA, RUNB
            if (runWeight >= (2u << 20))
                return Result::Refused;
            runLength += runWeight << sym;
            runWeight <<= 1;
            continue;
        }
        if (runLength) {
            if (runLength > blockMax - nblock)
                return Result::Refused;
            const unsigned char b = seqToUnseq[mtf[0]];
            counts[b] += runLength;
            for (std::uint32_t k = 0; k < runLength; ++k)
                tt[nblock++] = b;
            runLength = 0;
            runWeight = 1;
        }
        if (sym == eob)
            break;
        if (sym > eob || nblock >= blockMax)
            return Result::Refused;
        const unsigned char b = seqToUnseq[MoveToFront(mtf.data(), sym - 1)];
        ++counts[b];
        tt[nblock++] = b;
    }
    // What follows must be the next magic, right after the block.
    if (in.Consumed() != bits || origPtr >= nblock)
        return Result::Refused;

    // The inverse transform: tt[i] keeps byte i in its low bits and gets the
    // position that follows it in the high bits.
    std::array<std::uint32_t, 256> start;
    std::uint32_t sum = 0;
    for (unsigned i = 0; i < 256; ++i) {
        start[i] = sum;
        sum += counts[i];
    }
    for (std::uint32_t i = 0; i < nblock; ++i)
        tt[start[tt[i] & 0xFF]++] |= i << 8;
    // Walked as several chains at once, each from a position of its own
    // until it reaches another chain's start, so that the loads of the
    // chains overlap; pieces of the walk go to pages of walked_.
    if (room < nblock)
        return Result::Full;
    std::array<std::uint32_t, kChains> startAt{}, pos{}, endAt{}, length{};
    unsigned chains = 0;
    startAt[chains++] = (tt[origPtr] >> 8) & kNextMask;
    if (nblock >= kChains * kPage) {
        for (unsigned c = 1; c < kChains; ++c) {
            const std::uint32_t p = static_cast<std::uint32_t>(std::uint64_t{nblock} * c / kChains);
            if (p != startAt[0])
                startAt[chains++] = p;
        }
    }
    for (unsigned c = 0; c < chains; ++c)
        tt[startAt[c]] |= kStartFlag;
    std::array<std::vector<std::uint32_t>, kChains>& pages = pages_;
    std::array<unsigned char*, kChains> put{}, pageEnd{};
    unsigned char* const pool = walked_.get();
    const std::uint32_t poolPages = PoolPages(level_);
    std::uint32_t nextPage = 0;
    auto newPage = [&](unsigned c) {
        if (nextPage == poolPages)
            return false;
        pages[c].push_back(nextPage);
        put[c] = pool + std::size_t{nextPage} * kPage;
        pageEnd[c] = put[c] + kPage;
        ++nextPage;
        return true;
    };
    for (unsigned c = 0; c < chains; ++c) {
        pages[c].clear();
        if (!newPage(c))
            return Result::Refused;
        const std::uint32_t e = tt[startAt[c]];
        *put[c]++ = static_cast<unsigned char>(e);
        pos[c] = (e >> 8) & kNextMask;
        length[c] = 1;
    }
    std::array<bool, kChains> walking{};
    unsigned walkers = chains;
    for (unsigned c = 0; c < chains; ++c)
        walking[c] = true;
    for (std::uint32_t step = 1; walkers > 0; ++step) {
        if (step > nblock)
            return Result::Refused;  // a cycle that meets no start
        for (unsigned c = 0; c < chains; ++c) {
            if (!walking[c])
                continue;
            const std::uint32_t e = tt[pos[c]];
            if (e & kStartFlag) {
                walking[c] = false;
                endAt[c] = pos[c];
                --walkers;
                continue;
            }
            if (put[c] == pageEnd[c] && !newPage(c))
                return Result::Refused;
            *put[c]++ = static_cast<unsigned char>(e);
            pos[c] = (e >> 8) & kNextMask;
            ++length[c];
        }
    }

    // The chains in the order of the output, gathered at the end of out.
    unsigned char* const walked = out + (room - nblock);
    std::uint32_t gathered = 0;
    unsigned c = 0;
    for (unsigned n = 0; n < chains; ++n) {
        std::uint32_t rest = length[c];
        if (rest > nblock - gathered)
            return Result::Refused;
        for (const std::uint32_t page : pages[c]) {
            const std::uint32_t take = std::min(rest, kPage);
            std::memcpy(walked + gathered, pool + std::size_t{page} * kPage, take);
            gathered += take;
            rest -= take;
        }
        unsigned next = 0;
        while (next < chains && startAt[next] != endAt[c])
            ++next;
        if (next == chains || (next == 0) != (n + 1 == chains))
            return Result::Refused;
        c = next;
    }
    if (gathered != nblock)
        return Result::Refused;

    // Runs of four equal bytes are followed by a count of further copies.
    // The output is written in front of the walk it is made from; a block
    // whose runs would overtake the walk counts as not fitting.
    const std::size_t ahead = room - nblock;
    std::size_t o = 0;
    std::uint32_t i = 0;
    while (i < nblock) {
        const unsigned char b = walked[i];
        if (i + 4 <= nblock && walked[i + 1] == b && walked[i + 2] == b && walked[i + 3] == b) {
            if (i + 4 == nblock)
                return Result::Refused;  // a run without its count
            const std::size_t n = 4u + walked[i + 4];
            if (o + n > ahead + i + 5)
                return Result::Full;
            std::memset(out + o, b, n);
            o += n;
            i += 5;
        } else {
            out[o++] = b;  // never past the byte just read
            ++i;
        }
    }
    if (Bzip2Crc(out, o) != storedCrc)
        return Result::Refused;
    produced = o;
    return Result::Ok;
}
