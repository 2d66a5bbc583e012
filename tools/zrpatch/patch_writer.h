// Writing patch files: unpacked bodies section by section, packing with
// LZO1X-999 or bzip2 level 9, and the 12-byte header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zrpatch {

enum class Codec { Lzo, Bzip2 };

// "lzo" or "bzip2"; false for anything else.
bool ParseCodec(std::string_view text, Codec& codec);
const char* CodecName(Codec codec);
std::uint32_t CodecMagic(Codec codec);

// One MODI run: skip forward, then write bytes.
struct Run {
    std::uint32_t skip = 0;
    std::string_view bytes;
};

// Raw pieces, for callers that need exact control over every field.
void AppendLe32(std::string& out, std::uint32_t value);
std::string EncodeRun(std::uint32_t skip, std::string_view bytes);
// A section with the given name field (zero byte included or not, as given).
std::string EncodeSection(std::uint32_t tag, std::uint32_t finalSize, std::string_view nameField,
                          std::string_view data);

// Builds an unpacked body. Names get their zero byte appended.
class BodyWriter {
  public:
    void AddModify(std::string_view name, std::uint32_t finalSize, const std::vector<Run>& runs);
    void AddAdd(std::string_view name, std::string_view data);
    std::size_t size() const { return body_.size(); }
    // The body with its zero tag; the writer is empty afterwards.
    std::string Finish();

  private:
    std::string body_;
};

// Packs body with the codec's best setting. False with error on failure.
bool PackBody(Codec codec, std::string_view body, std::string& packed, std::string& error);

// Header (magic, version, unpacked size) followed by the packed body.
std::string PatchFileBytes(std::uint32_t magic, std::uint32_t version, std::uint32_t unpackedSize,
                           std::string_view packed);

// Packs body and gives the whole patch file; checks that the result is one
// the updater accepts (sizes within its limits).
bool BuildPatchFile(Codec codec, std::uint32_t version, std::string_view body, std::string& file,
                    std::string& error);

}  // namespace zrpatch
