// What the engine's source files share.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace ferrel {

// The engine's loop turns this often.
inline constexpr auto kTick = std::chrono::milliseconds(50);
// Resume data is written this often while the torrent runs.
inline constexpr auto kResumeEvery = std::chrono::seconds(30);
// The resume data's file in the info folder.
inline constexpr const char* kResumeFile = "resume.dat";

// Writes path + ".part" and renames it over path.
bool WriteAtomically(const std::string& path, const char* data, std::size_t size);

}  // namespace ferrel
