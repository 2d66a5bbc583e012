#include "korvel/update/bzip2_blocks.h"

#include "korvel/update/bzip2_block_decoder.h"

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr std::uint64_t kHeaderBits = kHeaderBytes * 8;
constexpr unsigned kMaxThreads = 8;
// libbz2's own state besides its block array.
constexpr std::size_t kLibraryState = 70000;

// Per job, in units of the level's block size (100000 bytes a level): what
// a block unpacks to in the common case (the initial run-length stage can
// make it far more; such blocks are decoded in place), and its coded form,
// a little more than the block for data that does not pack.
std::size_t OutputRoom(unsigned level) {
    return level * 150000u;
}
std::size_t InputRoom(unsigned level) {
    return level * 125000u;
}

// count (at most 56) bits from bit onward, as a number; bits past the end
// read as zero.
std::uint64_t ReadBits(const unsigned char* data, std::size_t size, std::uint64_t bit,
                       unsigned count) {
    const std::size_t byte = static_cast<std::size_t>(bit / 8);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i)
        v = (v << 8) | (byte + i < size ? data[byte + i] : 0u);
    v <<= bit % 8;
    return v >> (64 - count);
}

// For each byte value, which magics may start in the byte before it: bit
// 2*s for a block magic at bit offset s of that byte, 2*s+1 for an end
// magic. The byte after a magic's first one lies wholly inside it.
struct KeyTable {
    std::array<std::uint16_t, 256> masks{};
    KeyTable() {
        for (unsigned s = 0; s < 8; ++s) {
            masks[(kBzip2BlockMagic >> (32 + s)) & 0xFF] |= std::uint16_t(1u << (2 * s));
            masks[(kBzip2EndMagic >> (32 + s)) & 0xFF] |= std::uint16_t(1u << (2 * s + 1));
        }
    }
};

// Marks whose key byte lies in [from, to).
void ScanKeys(const unsigned char* data, std::size_t size, std::size_t from, std::size_t to,
              std::vector<Bzip2Mark>& marks) {
    static const KeyTable table;
    const std::uint64_t totalBits = std::uint64_t{size} * 8;
    for (std::size_t q = from; q < to; ++q) {
        const std::uint16_t mask = table.masks[data[q]];
        if (!mask)
            continue;
        for (unsigned s = 0; s < 8; ++s) {
            const unsigned kinds = (mask >> (2 * s)) & 3u;
            if (!kinds)
                continue;
            const std::uint64_t bit = std::uint64_t{q - 1} * 8 + s;
            if (bit < kHeaderBits || bit + 48 > totalBits)
                continue;
            const std::uint64_t v = ReadBits(data, size, bit, 48);
            if ((kinds & 1u) && v == kBzip2BlockMagic)
                marks.push_back({bit, false});
            else if ((kinds & 2u) && v == kBzip2EndMagic)
                marks.push_back({bit, true});
        }
    }
}

// libbz2 allocations kept for the next block: its block array is several
// megabytes, which would otherwise be mapped and faulted in anew each time.
class AllocCache {
  public:
    AllocCache() = default;
    AllocCache(const AllocCache&) = delete;
    AllocCache& operator=(const AllocCache&) = delete;
    ~AllocCache() {
        for (const auto& [size, p] : free_)
            std::free(p);
    }
    void Attach(bz_stream& strm) {
        strm.bzalloc = &Alloc;
        strm.bzfree = &Free;
        strm.opaque = this;
    }

  private:
    static constexpr std::size_t kPrefix = 16;
    static void* Alloc(void* opaque, int items, int size) {
        auto* self = static_cast<AllocCache*>(opaque);
        const std::size_t n = static_cast<std::size_t>(items) * static_cast<std::size_t>(size);
        for (auto it = self->free_.begin(); it != self->free_.end(); ++it) {
            if (it->first == n) {
                void* base = it->second;
                self->free_.erase(it);
                return static_cast<char*>(base) + kPrefix;
            }
        }
        void* base = std::malloc(n + kPrefix);
        if (!base)
            return nullptr;
        std::memcpy(base, &n, sizeof n);
        return static_cast<char*>(base) + kPrefix;
    }
    static void Free(void* opaque, void* p) {
        if (!p)
            return;
        auto* self = static_cast<AllocCache*>(opaque);
        void* base = static_cast<char*>(p) - kPrefix;
        std::size_t n;
        std::memcpy(&n, base, sizeof n);
        self->free_.emplace_back(n, base);
    }
    std::vector<std::pair<std::size_t, void*>> free_;
};

// The bits [begin, end) of packed, one block, as a stream of its own: the
// header, the block moved to a byte boundary, the end magic and the block's
// CRC as the stream's.
void Reframe(const unsigned char* packed, std::size_t size, std::uint64_t begin, std::uint64_t end,
             std::uint32_t crc, std::vector<unsigned char>& out) {
    const std::uint64_t bits = end - begin;
    out.assign(kHeaderBytes + static_cast<std::size_t>((bits + 48 + 32 + 7) / 8), 0);
    std::memcpy(out.data(), packed, kHeaderBytes);
    unsigned char* dst = out.data() + kHeaderBytes;
    const std::size_t p = static_cast<std::size_t>(begin / 8);
    const unsigned shift = begin % 8;
    const std::size_t n = static_cast<std::size_t>((bits + 7) / 8);
    if (shift == 0) {
        std::memcpy(dst, packed + p, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned next = p + i + 1 < size ? packed[p + i + 1] : 0u;
            dst[i] = static_cast<unsigned char>((packed[p + i] << shift) | (next >> (8 - shift)));
        }
    }
    if (bits % 8)
        dst[n - 1] &= static_cast<unsigned char>(0xFF << (8 - bits % 8));
    std::uint64_t pos = bits;
    auto put = [&](std::uint64_t value, int count) {
        for (int k = count - 1; k >= 0; --k, ++pos)
            if ((value >> k) & 1)
                dst[pos / 8] |= static_cast<unsigned char>(0x80u >> (pos % 8));
    };
    put(kBzip2EndMagic, 48);
    put(crc, 32);
}

enum class BlockResult { Ok, Full, Bad };

// Decodes a re-framed block into out (room bytes). Full: it did not fit.
BlockResult DecodeBlock(const std::vector<unsigned char>& input, unsigned char* out,
                        std::size_t room, AllocCache& cache, std::size_t& produced) {
    bz_stream strm{};
    cache.Attach(strm);
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
        return BlockResult::Bad;
    const unsigned int outRoom = static_cast<unsigned int>(std::min<std::size_t>(room, UINT_MAX));
    strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(input.data()));
    strm.avail_in = static_cast<unsigned int>(input.size());
    strm.next_out = reinterpret_cast<char*>(out);
    strm.avail_out = outRoom;
    const int rc = BZ2_bzDecompress(&strm);
    BlockResult result = BlockResult::Bad;
    if (rc == BZ_STREAM_END && strm.avail_in == 0)
        result = BlockResult::Ok;
    else if (rc == BZ_OK && strm.avail_out == 0)
        result = BlockResult::Full;
    produced = outRoom - strm.avail_out;
    BZ2_bzDecompressEnd(&strm);
    return result;
}

struct Segment {
    std::uint64_t begin = 0, end = 0;
    std::uint32_t crc = 0;
};

struct Slot {
    std::size_t segment = 0;
    std::unique_ptr<unsigned char[]> output;
    std::size_t produced = 0;
    Bzip2BlockDecoder::Result result = Bzip2BlockDecoder::Result::Refused;
    bool done = false;
};

std::uint32_t RotateLeft1(std::uint32_t v) {
    return (v << 1) | (v >> 31);
}

}  // namespace

std::vector<Bzip2Mark> FindBzip2Marks(const unsigned char* packed, std::size_t size,
                                      unsigned threads) {
    std::vector<Bzip2Mark> marks;
    if (size <= kHeaderBytes + 1)
        return marks;
    // The first key byte that can belong to a magic after the header.
    const std::size_t first = kHeaderBytes + 1;
    const std::size_t span = size - first;
    threads = std::clamp(threads, 1u, kMaxThreads);
    if (threads == 1 || span < (1u << 20)) {
        ScanKeys(packed, size, first, size, marks);
        return marks;
    }
    std::vector<std::vector<Bzip2Mark>> parts(threads);
    std::vector<std::thread> pool;
    const std::size_t chunk = (span + threads - 1) / threads;
    auto range = [&](unsigned i) {
        const std::size_t from = first + std::min(span, chunk * i);
        return std::pair{from, first + std::min(span, chunk * (i + 1))};
    };
    try {
        for (unsigned i = 1; i < threads; ++i)
            pool.emplace_back([&, i] {
                const auto [from, to] = range(i);
                ScanKeys(packed, size, from, to, parts[i]);
            });
    } catch (const std::exception&) {
        // Fewer threads: whatever was not started is scanned here.
    }
    const unsigned started = static_cast<unsigned>(pool.size()) + 1;
    ScanKeys(packed, size, range(0).first, range(0).second, parts[0]);
    for (unsigned i = started; i < threads; ++i)
        ScanKeys(packed, size, range(i).first, range(i).second, parts[i]);
    for (auto& t : pool)
        t.join();
    for (auto& part : parts)
        marks.insert(marks.end(), part.begin(), part.end());
    return marks;
}

unsigned Bzip2DecodeThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
}

std::size_t Bzip2DecodeFootprint(unsigned level, unsigned threads) {
    const std::size_t perThread = Bzip2BlockDecoder::Footprint(level);
    // The main thread decodes what the threads leave to the library, in
    // place, from one re-framed block at a time.
    const std::size_t library = level * 400000u + kLibraryState + InputRoom(level);
    return threads * perThread + library + 2 * threads * OutputRoom(level);
}

bool DecodeBzip2AtMarks(const unsigned char* packed, std::size_t size,
                        const std::vector<Bzip2Mark>& marks, unsigned char* out,
                        std::size_t capacity, std::size_t expected, unsigned threads,
                        std::size_t extraMemory) {
    if (size < kHeaderBytes || std::memcmp(packed, "BZh", 3) != 0 || packed[3] < '1' ||
        packed[3] > '9' || expected > capacity || threads < 1)
        return false;
    const unsigned level = packed[3] - '0';
    threads = std::min(threads, kMaxThreads);
    while (threads > 1 && Bzip2DecodeFootprint(level, threads) > extraMemory)
        --threads;
    if (Bzip2DecodeFootprint(level, threads) > extraMemory)
        return false;

    // The blocks up to the first end magic, one after the other from the header on.
    if (marks.empty() || marks[0] != Bzip2Mark{kHeaderBits, false})
        return false;
    std::vector<Segment> segments;
    std::uint64_t endBit = 0;
    bool ended = false;
    for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
        if (marks[i].end)
            break;
        const std::uint64_t begin = marks[i].bit, end = marks[i + 1].bit;
        if (end < begin + 80 || (end - begin) / 8 > InputRoom(level))
            return false;
        segments.push_back(
            {begin, end, static_cast<std::uint32_t>(ReadBits(packed, size, begin + 48, 32))});
        if (marks[i + 1].end) {
            endBit = end;
            ended = true;
            break;
        }
    }
    if (!ended || endBit + 80 > std::uint64_t{size} * 8)
        return false;
    const auto storedCrc = static_cast<std::uint32_t>(ReadBits(packed, size, endBit + 48, 32));

    const std::size_t slotCount = 2 * threads;
    std::vector<Slot> slots(slotCount);
    std::mutex mutex;
    std::condition_variable workCv, doneCv;
    std::deque<Slot*> queue;
    bool stop = false;

    auto work = [&] {
        std::unique_ptr<Bzip2BlockDecoder> decoder;
        try {
            decoder = std::make_unique<Bzip2BlockDecoder>(level);
        } catch (const std::exception&) {
            // Every block goes to the library on the main thread.
        }
        for (;;) {
            Slot* slot;
            {
                std::unique_lock lock(mutex);
                workCv.wait(lock, [&] { return stop || !queue.empty(); });
                if (stop)
                    return;
                slot = queue.front();
                queue.pop_front();
            }
            const Segment& seg = segments[slot->segment];
            slot->result =
                decoder ? decoder->Decode(packed, size, seg.begin, seg.end, slot->output.get(),
                                          OutputRoom(level), slot->produced)
                        : Bzip2BlockDecoder::Result::Refused;
            {
                std::lock_guard lock(mutex);
                slot->done = true;
            }
            doneCv.notify_all();
        }
    };

    std::vector<std::thread> pool;
    bool ok = true;
    try {
        for (auto& slot : slots)
            slot.output = std::make_unique_for_overwrite<unsigned char[]>(OutputRoom(level));
        for (unsigned i = 0; i < threads; ++i)
            pool.emplace_back(work);
    } catch (const std::exception&) {
        ok = false;
    }

    AllocCache mainCache;
    std::vector<unsigned char> input;
    std::size_t offset = 0, scheduled = 0;
    std::uint32_t combined = 0;
    for (std::size_t next = 0; ok && next < segments.size(); ++next) {
        {
            std::lock_guard lock(mutex);
            for (; scheduled < segments.size() && scheduled < next + slotCount; ++scheduled) {
                Slot& slot = slots[scheduled % slotCount];
                slot.segment = scheduled;
                slot.done = false;
                queue.push_back(&slot);
            }
        }
        workCv.notify_all();
        Slot& slot = slots[next % slotCount];
        {
            std::unique_lock lock(mutex);
            doneCv.wait(lock, [&] { return slot.done; });
        }
        std::size_t produced = slot.produced;
        BlockResult result = BlockResult::Bad;
        if (slot.result == Bzip2BlockDecoder::Result::Ok) {
            result = BlockResult::Ok;
            if (produced <= expected - offset)
                std::memcpy(out + offset, slot.output.get(), produced);
        } else {
            // Too big for a slot, or a block only the library may judge:
            // decoded by the library in place.
            const Segment& seg = segments[next];
            try {
                Reframe(packed, size, seg.begin, seg.end, seg.crc, input);
                result = DecodeBlock(input, out + offset, capacity - offset, mainCache, produced);
            } catch (const std::exception&) {
                result = BlockResult::Bad;
            }
        }
        if (result != BlockResult::Ok || produced > expected - offset) {
            ok = false;
            break;
        }
        offset += produced;
        combined = RotateLeft1(combined) ^ segments[next].crc;
    }

    {
        std::lock_guard lock(mutex);
        stop = true;
        queue.clear();
    }
    workCv.notify_all();
    for (auto& t : pool)
        t.join();
    return ok && offset == expected && combined == storedCrc;
}

bool DecodeBzip2Blocks(const unsigned char* packed, std::size_t size, unsigned char* out,
                       std::size_t capacity, std::size_t expected, unsigned threads,
                       std::size_t extraMemory) {
    const std::vector<Bzip2Mark> marks = FindBzip2Marks(packed, size, threads);
    return DecodeBzip2AtMarks(packed, size, marks, out, capacity, expected, threads, extraMemory);
}
