// The unpacked body of a patch file: a list of sections, each naming a file
// below the game folder, ended by a zero tag. Every read here is checked
// against the body's bounds; nothing touches the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Four-character constants, stored little-endian (so "ZRUD" is on disk as
// the bytes "DURZ").
inline constexpr std::uint32_t kPatchMagicLzo = 0x5A525544;    // ZRUD: LZO1X body
inline constexpr std::uint32_t kPatchMagicBzip2 = 0x5A52425A;  // ZRBZ: bzip2 body
inline constexpr std::uint32_t kSectionModify = 0x4D4F4449;    // MODI
inline constexpr std::uint32_t kSectionAdd = 0x41444446;       // ADDF
inline constexpr std::uint32_t kSectionEnd = 0;

inline constexpr std::size_t kPatchHeaderSize = 12;
// Fixed part of a section: tag, final size, name length, data length.
inline constexpr std::size_t kSectionOverhead = 16;
// Fixed part of a MODI run: skip and length.
inline constexpr std::size_t kRunOverhead = 8;
// Sizes in the format are 32-bit: no write may reach past this position.
inline constexpr std::uint64_t kMaxPatchedFileSize = 0xFFFFFFFFu;

std::uint32_t LoadLe32(const unsigned char* p);
void StoreLe32(unsigned char* p, std::uint32_t value);

struct PatchSection {
    std::size_t offset = 0;  // where the section starts in the body
    std::uint32_t tag = 0;
    std::uint32_t finalSize = 0;  // MODI only
    std::string_view name;        // up to its zero byte
    std::string_view data;
};

struct PatchRun {
    std::uint32_t skip = 0;
    std::string_view bytes;
};

enum class BodyStep {
    Section,    // a MODI or ADDF section was read
    End,        // the zero tag
    Malformed,  // unknown tag, or a field that does not fit the body
};

// Walks the sections of an unpacked body in order.
class PatchBodyReader {
  public:
    explicit PatchBodyReader(std::string_view body) : body_(body) {}
    // Reads the next section. After End or Malformed it keeps giving the same.
    BodyStep Next(PatchSection& section);
    std::size_t offset() const { return pos_; }

  private:
    std::string_view body_;
    std::size_t pos_ = 0;
    bool done_ = false;
    BodyStep last_ = BodyStep::Section;
};

// Walks the runs of a MODI data field that CheckModifyRuns has accepted.
class PatchRunReader {
  public:
    explicit PatchRunReader(std::string_view data) : data_(data) {}
    bool Next(PatchRun& run);

  private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// Whether the runs fill the data field exactly and every write stays below
// kMaxPatchedFileSize. Gives the number of runs through count.
bool CheckModifyRuns(std::string_view data, std::size_t* count = nullptr);

// Whether a section name, joined to the game folder (which ends with "/"),
// stays below it by its words alone: no ".." component. Leading "/" bytes
// give "//" after the folder, the same place; an empty name is the folder
// itself, which no section can open as a file. Symbolic links are the file
// system's business and are checked where files are opened.
bool IsPlainRelativeName(std::string_view name);
