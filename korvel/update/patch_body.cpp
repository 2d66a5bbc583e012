#include "korvel/update/patch_body.h"

std::uint32_t LoadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreLe32(unsigned char* p, std::uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

namespace {

// Reads a 32-bit field at pos if it fits and moves past it.
bool Take32(std::string_view s, std::size_t& pos, std::uint32_t& value) {
    if (s.size() - pos < 4)
        return false;
    value = LoadLe32(reinterpret_cast<const unsigned char*>(s.data() + pos));
    pos += 4;
    return true;
}

// Takes length bytes at pos if they fit and moves past them.
bool TakeBytes(std::string_view s, std::size_t& pos, std::uint32_t length, std::string_view& out) {
    if (s.size() - pos < length)
        return false;
    out = s.substr(pos, length);
    pos += length;
    return true;
}

}  // namespace

BodyStep PatchBodyReader::Next(PatchSection& section) {
    if (done_)
        return last_;
    done_ = true;
    last_ = BodyStep::Malformed;

    std::size_t pos = pos_;
    PatchSection s;
    s.offset = pos;
    if (!Take32(body_, pos, s.tag))
        return last_;
    if (s.tag == kSectionEnd) {
        pos_ = pos;
        return last_ = BodyStep::End;
    }
    if (s.tag != kSectionModify && s.tag != kSectionAdd)
        return last_;

    std::uint32_t nameLength = 0, dataLength = 0;
    std::string_view nameField;
    if (!Take32(body_, pos, s.finalSize) || !Take32(body_, pos, nameLength) ||
        !TakeBytes(body_, pos, nameLength, nameField) || !Take32(body_, pos, dataLength) ||
        !TakeBytes(body_, pos, dataLength, s.data))
        return last_;
    const std::size_t zero = nameField.find('\0');
    if (zero == std::string_view::npos)
        return last_;
    s.name = nameField.substr(0, zero);

    pos_ = pos;
    section = s;
    done_ = false;
    return last_ = BodyStep::Section;
}

bool PatchRunReader::Next(PatchRun& run) {
    std::uint32_t length = 0;
    std::size_t pos = pos_;
    if (pos >= data_.size() || !Take32(data_, pos, run.skip) || !Take32(data_, pos, length) ||
        !TakeBytes(data_, pos, length, run.bytes))
        return false;
    pos_ = pos;
    return true;
}

bool CheckModifyRuns(std::string_view data, std::size_t* count) {
    std::size_t pos = 0, runs = 0;
    std::uint64_t filePos = 0;
    while (pos < data.size()) {
        std::uint32_t skip = 0, length = 0;
        std::string_view bytes;
        if (!Take32(data, pos, skip) || !Take32(data, pos, length) ||
            !TakeBytes(data, pos, length, bytes))
            return false;
        filePos += skip;
        filePos += length;
        if (filePos > kMaxPatchedFileSize)
            return false;
        ++runs;
    }
    if (count)
        *count = runs;
    return true;
}

bool IsPlainRelativeName(std::string_view name) {
    // Every '/' byte separates here, as the file system sees the path, even
    // one that follows a double-byte lead byte.
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        if (name.substr(start, slash - start) == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}
