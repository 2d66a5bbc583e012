// The engine's own folder inside the client folder: the cached seed, the
// resume data and the stamps of the files that resume data speaks for.
// Nothing in it is opened through a symbolic link.
#pragma once

#include <cstddef>
#include <string>

#include "Ferrel/seed_layout.h"

namespace ferrel {

// Name of the hidden folder inside the client folder.
inline constexpr const char* kInfoFolder = ".ferrel";

// Makes dir + kInfoFolder unless it is there. False, with the system's error
// code, when it cannot be made or is not a real folder of this user (a link,
// a file, someone else's folder).
bool OpenInfoFolder(const std::string& dir, int& error);

// The whole file at path, at most maxBytes of it; false when it cannot be
// read, is larger, or path names a link or anything but a regular file.
bool ReadPlainFile(const std::string& path, std::size_t maxBytes, std::string& data);

// Writes a fresh path + ".part" (an existing one, link or not, is removed
// first) and renames it over path.
bool WriteAtomically(const std::string& path, const char* data, std::size_t size);

// One line per file of layout in dir: its size and modification time, or
// "-" for a file that is not there. Pad files are left out.
std::string FileStamps(const std::string& dir, const SeedLayout& layout);

}  // namespace ferrel
