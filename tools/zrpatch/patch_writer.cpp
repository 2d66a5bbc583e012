#include "tools/zrpatch/patch_writer.h"

#include <bzlib.h>
#include <lzo/lzo1x.h>

#include <memory>
#include <new>

#include "korvel/update/patch_body.h"
#include "korvel/update/patch_file.h"

namespace zrpatch {

bool ParseCodec(std::string_view text, Codec& codec) {
    if (text == "lzo") {
        codec = Codec::Lzo;
        return true;
    }
    if (text == "bzip2") {
        codec = Codec::Bzip2;
        return true;
    }
    return false;
}

const char* CodecName(Codec codec) {
    return codec == Codec::Lzo ? "lzo" : "bzip2";
}

std::uint32_t CodecMagic(Codec codec) {
    return codec == Codec::Lzo ? kPatchMagicLzo : kPatchMagicBzip2;
}

void AppendLe32(std::string& out, std::uint32_t value) {
    unsigned char bytes[4];
    StoreLe32(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

std::string EncodeRun(std::uint32_t skip, std::string_view bytes) {
    std::string out;
    AppendLe32(out, skip);
    AppendLe32(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
    return out;
}

std::string EncodeSection(std::uint32_t tag, std::uint32_t finalSize, std::string_view nameField,
                          std::string_view data) {
    std::string out;
    AppendLe32(out, tag);
    AppendLe32(out, finalSize);
    AppendLe32(out, static_cast<std::uint32_t>(nameField.size()));
    out.append(nameField);
    AppendLe32(out, static_cast<std::uint32_t>(data.size()));
    out.append(data);
    return out;
}

namespace {

void AppendSectionHead(std::string& out, std::uint32_t tag, std::uint32_t finalSize,
                       std::string_view name, std::size_t dataLength) {
    AppendLe32(out, tag);
    AppendLe32(out, finalSize);
    AppendLe32(out, static_cast<std::uint32_t>(name.size() + 1));
    out.append(name);
    out.push_back('\0');
    AppendLe32(out, static_cast<std::uint32_t>(dataLength));
}

}  // namespace

void BodyWriter::AddModify(std::string_view name, std::uint32_t finalSize,
                           const std::vector<Run>& runs) {
    std::size_t dataLength = 0;
    for (const Run& run : runs)
        dataLength += kRunOverhead + run.bytes.size();
    AppendSectionHead(body_, kSectionModify, finalSize, name, dataLength);
    for (const Run& run : runs) {
        AppendLe32(body_, run.skip);
        AppendLe32(body_, static_cast<std::uint32_t>(run.bytes.size()));
        body_.append(run.bytes);
    }
}

void BodyWriter::AddAdd(std::string_view name, std::string_view data) {
    AppendSectionHead(body_, kSectionAdd, 0, name, data.size());
    body_.append(data);
}

std::string BodyWriter::Finish() {
    AppendLe32(body_, kSectionEnd);
    return std::move(body_);
}

bool PackBody(Codec codec, std::string_view body, std::string& packed, std::string& error) {
    if (codec == Codec::Bzip2) {
        if (body.size() > 0xFFFFFFFFu / 2) {
            error = "body too large for bzip2";
            return false;
        }
        unsigned int size = static_cast<unsigned int>(body.size() + body.size() / 100 + 601);
        packed.resize(size);
        const int rc =
            BZ2_bzBuffToBuffCompress(packed.data(), &size, const_cast<char*>(body.data()),
                                     static_cast<unsigned int>(body.size()), 9, 0, 0);
        if (rc != BZ_OK) {
            error = "bzip2 compression failed (code " + std::to_string(rc) + ")";
            return false;
        }
        packed.resize(size);
        return true;
    }

    if (lzo_init() != LZO_E_OK) {
        error = "LZO library could not be initialised";
        return false;
    }
    std::unique_ptr<unsigned char[]> work(new (std::nothrow) unsigned char[LZO1X_999_MEM_COMPRESS]);
    if (!work) {
        error = "out of memory";
        return false;
    }
    lzo_uint size = body.size() + body.size() / 16 + 64 + 3;
    packed.resize(size);
    const int rc =
        lzo1x_999_compress(reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                           reinterpret_cast<unsigned char*>(packed.data()), &size, work.get());
    if (rc != LZO_E_OK) {
        error = "LZO1X-999 compression failed (code " + std::to_string(rc) + ")";
        return false;
    }
    packed.resize(size);
    return true;
}

std::string PatchFileBytes(std::uint32_t magic, std::uint32_t version, std::uint32_t unpackedSize,
                           std::string_view packed) {
    std::string out;
    out.reserve(kPatchHeaderSize + packed.size());
    AppendLe32(out, magic);
    AppendLe32(out, version);
    AppendLe32(out, unpackedSize);
    out.append(packed);
    return out;
}

bool BuildPatchFile(Codec codec, std::uint32_t version, std::string_view body, std::string& file,
                    std::string& error) {
    if (body.size() > UINT32_MAX) {
        error = "unpacked body of " + std::to_string(body.size()) +
                " bytes does not fit the header's 32-bit size; split the update into several "
                "patches";
        return false;
    }
    std::string packed;
    if (!PackBody(codec, body, packed, error))
        return false;
    if (codec == Codec::Lzo && body.size() > kMaxLzoExpansion * packed.size()) {
        error = "LZO1X packed the body beyond the updater's expansion limit";
        return false;
    }
    file =
        PatchFileBytes(CodecMagic(codec), version, static_cast<std::uint32_t>(body.size()), packed);
    return true;
}

}  // namespace zrpatch
