// The client folder's files made fit for the torrent before it starts.
#pragma once

#include <cstdint>
#include <string>

#include "Ferrel/seed_layout.h"

namespace ferrel {

// What stood in the way of one file.
struct LocalFileProblem {
    std::string path;
    int error = 0;          // the system's error code
    const char* kind = "";  // the tool's name of the failed operation
};

// Goes over the seed's files in dir (which ends in "/"):
// - a file the seed wants filled that lies there empty is removed: this
//   release of libtorrent's memory-mapped storage cannot map a file of no
//   bytes, and the torrent would stop on it;
// - a file longer than the seed's is cut to the seed's size: the check
//   looks at the seed's bytes only and would call it intact;
// - anything that is neither a regular file nor a folder (a pipe, a socket,
//   a device, a link to one) where a file belongs is removed: opening it
//   could block the check.
// - a file whose mode bars writing it is made writable (its write bit
//   when it is ours, else a copy of ours in its place);
// A folder where a file belongs is left to the torrent, which reports it.
// False with the first problem it could not fix.
bool PrepareLocalFiles(const std::string& dir, const SeedLayout& layout, LocalFileProblem& problem);

// Whether the file at path could be written now: it opens for writing
// without blocking, or is not there at all.
bool FileWritable(const std::string& path);

// Whether the file system holding dir has at least bytes free for us.
bool HasRoom(const std::string& dir, std::uint64_t bytes);

}  // namespace ferrel
