// Patch files: a 12-byte header (magic, version, unpacked size) and a body
// packed with LZO1X or bzip2, whose sections change, add or replace files
// below the game folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "korvel/update/patch_body.h"

// LZO1X cannot expand its input more than about 256 times, so a header
// claiming more than 1000 times the packed size is lying and is refused
// before anything is allocated. bzip2 can legitimately expand far more (long
// runs of one byte); it is bounded by memory only.
inline constexpr std::uint64_t kMaxLzoExpansion = 1000;

// Bytes a patch may take in memory, packed and unpacked together: the
// machine's physical memory, or what SetPatchMemoryLimit set (tests; 0 goes
// back to physical memory). A larger patch is refused with its own message
// instead of being called damaged.
std::uint64_t PatchMemoryLimit();
void SetPatchMemoryLimit(std::uint64_t bytes);

// Extra room behind the unpacked size given to the decompressors, so that a
// body longer than its header says is noticed as a length mismatch.
inline constexpr std::size_t kBzip2Slack = 600;
inline constexpr std::size_t kLzoSlack = 16;

struct PatchHeader {
    std::uint32_t magic = 0;
    std::uint32_t version = 0;
    std::uint32_t unpackedSize = 0;
};

// A large byte buffer from malloc, backed by huge pages where the system
// offers them: a patch body of hundreds of megabytes is otherwise filled at
// the cost of a page fault every 4 KiB.
struct FreeBytes {
    void operator()(unsigned char* p) const;
};
using ByteBuffer = std::unique_ptr<unsigned char[], FreeBytes>;
ByteBuffer AllocateBytes(std::size_t size);

struct LoadedPatch {
    PatchHeader header;
    std::size_t packedSize = 0;  // body bytes in the file
    ByteBuffer body;
    std::size_t bodySize = 0;  // equals header.unpackedSize
    std::string_view Body() const { return {reinterpret_cast<const char*>(body.get()), bodySize}; }
};

// Reads downloadDir + "/" + fileName, checks magic and (when expectedVersion
// is given) the version, and unpacks the body. On failure gives false with
// the message to show in error, which stays empty for the failures that are
// not reported (a short header or body).
bool LoadPatchFile(const std::string& downloadDir, const std::string& fileName,
                   const std::uint32_t* expectedVersion, LoadedPatch& patch, std::string& error);

// Applies the sections of an unpacked body below gameDir (which ends with
// "/"), in order, up to the zero tag. Sections applied before a failure stay
// applied. On failure gives false with the message to show in error.
bool ApplyPatchBody(std::string_view body, const std::string& fileName, const std::string& gameDir,
                    std::string& error);

// Loads, checks and applies one downloaded patch file; every failure is
// reported in the application's message box with the error icon. True when
// the whole file was applied.
bool ApplyPatchFile(const std::string& fileName, std::uint32_t expectedVersion,
                    const std::string& downloadDir, const std::string& gameDir);
