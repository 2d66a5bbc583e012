// Comparing two client folders and describing the difference as a patch
// body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zrpatch/patch_writer.h"

namespace zrpatch {

// A byte range [begin, end) of the new file that must be written.
struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool operator==(const ByteRange&) const = default;
};

// The ranges of newData that differ from oldData, bytes beyond the end of
// oldData included, in order. Two ranges separated by fewer unchanged bytes
// than a run header costs are joined into one.
std::vector<ByteRange> ChangedRanges(std::string_view oldData, std::string_view newData);

// The MODI runs writing ranges of newData.
std::vector<Run> RunsFor(const std::vector<ByteRange>& ranges, std::string_view newData);

// Size of a MODI data field made of these ranges.
std::uint64_t ModifyDataSize(const std::vector<ByteRange>& ranges);

struct MakeReport {
    std::vector<std::string> modified;  // names written as MODI
    std::vector<std::string> added;     // names written as ADDF (new or replaced)
    std::vector<std::string> warnings;  // what the patch cannot express
};

// Compares the folders oldDir and newDir and adds one section per new or
// changed regular file to body, names in byte order. Files missing from
// newDir and other things the format cannot carry (empty folders, links)
// become warnings. False with error when a file cannot be read or a change
// cannot be expressed at all.
bool MakePatchBody(const std::string& oldDir, const std::string& newDir, BodyWriter& body,
                   MakeReport& report, std::string& error);

}  // namespace zrpatch
