// Reads settings from arbitrary update.ini bytes and checks what every caller
// relies on: a value fits the caller's buffer, holds no line end, and the
// same question gives the same answer.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/profile.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz_profile_XXXXXX";
        const int fd = ::mkstemp(name);
        Require(fd >= 0);
        ::close(fd);
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses the caller's buffer size, the rest is the file.
    const std::size_t bufferSize = data[0] * 5;
    std::FILE* f = std::fopen(ScratchFile().c_str(), "wb");
    Require(f != nullptr);
    Require(std::fwrite(data + 1, 1, size - 1, f) == size - 1);
    std::fclose(f);

    static const char* const kKeys[] = {"Version", "UpdateURLEX", "BtWaitTime", "version",
                                        "",        "Exp Version1"};
    for (const char* section : {"Setting", "setting", "Other"}) {
        for (const char* key : kKeys) {
            const std::string value = platform::GetPrivateProfileString(section, key, "default ",
                                                                        bufferSize, ScratchFile());
            Require(bufferSize == 0 ? value.empty() : value.size() < bufferSize);
            Require(value.find('\n') == std::string::npos);
            Require(value == platform::GetPrivateProfileString(section, key, "default ", bufferSize,
                                                               ScratchFile()));
        }
    }
    return 0;
}
