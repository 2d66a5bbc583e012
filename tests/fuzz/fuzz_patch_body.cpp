// Walks arbitrary bytes as an unpacked patch body, the way patch application
// does before it touches any file, and checks that everything the walker
// hands out lies inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "korvel/update/patch_body.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool Inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    PatchBodyReader reader(body);
    std::size_t previous = 0;
    for (;;) {
        PatchSection section;
        const BodyStep step = reader.Next(section);
        if (step != BodyStep::Section) {
            Require(reader.Next(section) == step);  // stays put
            if (step == BodyStep::End)
                Require(reader.offset() <= size);
            break;
        }
        Require(section.tag == kSectionModify || section.tag == kSectionAdd);
        Require(section.offset >= previous && section.offset < reader.offset());
        Require(reader.offset() - section.offset ==
                kSectionOverhead + section.data.size() +
                    static_cast<std::size_t>(section.data.data() - section.name.data()) -
                    4);  // name field, then the 4-byte data length
        Require(Inside(section.name, body) && Inside(section.data, body));
        Require(section.name.find('\0') == std::string_view::npos);
        previous = reader.offset();

        const bool plain = IsPlainRelativeName(section.name);
        if (plain) {
            Require(section.name != ".." && !section.name.starts_with("../") &&
                    section.name.find("/../") == std::string_view::npos &&
                    !section.name.ends_with("/.."));
        }
        if (section.tag != kSectionModify)
            continue;

        std::size_t runs = 0;
        if (!CheckModifyRuns(section.data, &runs))
            continue;
        PatchRunReader reader2(section.data);
        PatchRun run;
        std::size_t seen = 0, consumed = 0;
        std::uint64_t position = 0;
        while (reader2.Next(run)) {
            Require(Inside(run.bytes, section.data));
            position += run.skip + run.bytes.size();
            Require(position <= kMaxPatchedFileSize);
            consumed += kRunOverhead + run.bytes.size();
            ++seen;
        }
        Require(seen == runs && consumed == section.data.size());
    }
    return 0;
}
