// Where the files of a seed land inside the client folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ferrel {

struct SeedFile {
    std::string path;  // relative to the client folder, "/"-separated; empty for pad files
    std::int64_t size = 0;
    bool pad = false;
};

// The seed's files in the seed's order, the torrent's own top folder
// dropped: a multi-file seed lands directly in the client folder, a
// single-file seed as that one file.
struct SeedLayout {
    std::vector<SeedFile> files;
};

// Reads the file list of a bencoded seed. Refuses (false, reason in error)
// any path element or top name that is empty, "." or "..", is not UTF-8, or
// holds "/", "\", ":" or a control character, a symbolic-link entry, two
// files on one path, a file that is also another file's folder, and a file
// inside the engine's own info folder infoFolder.
bool ReadSeedLayout(const std::string& seed, const std::string& infoFolder, SeedLayout& layout,
                    std::string& error);

// Whether every file of layout resolves inside dir on disk, following the
// symbolic links that already exist there. False with the offending path in
// error otherwise.
bool StaysInside(const std::string& dir, const SeedLayout& layout, std::string& error);

}  // namespace ferrel
