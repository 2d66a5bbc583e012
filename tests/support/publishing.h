// Publishing patches for tests, with the real zrpatch tool.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testing_support {

// One `zrpatch make` run; folders and output are relative to a TempDir.
struct PatchToMake {
    const char* from;
    const char* to;
    const char* version;
    const char* codec;
    const char* out;
};

// Makes each patch (creating the output's folders); gives the first
// failure's error output, or an empty text when all were made.
std::string MakePatches(const std::string& zrpatch, const TempDir& dir,
                        const std::vector<PatchToMake>& patches);

// The update-list line of a patch file (`zrpatch entry`, method http or
// bt); empty when zrpatch refuses.
std::string UpdateListEntry(const std::string& zrpatch, const std::string& file,
                            const std::string& version, const std::string& btUrl,
                            const std::string& httpUrl, const std::string& method = "http");

// A publisher key pair made with the real `minisign -G -W` (no password):
// base + ".pub" and base + ".key". Empty on success, minisign's output
// otherwise.
std::string MinisignKeyPair(const std::string& base);

// `minisign -S` of file with the secret key and this trusted comment
// ("timestamp:N file:NAME ..."), written to file + ".minisig". Empty on
// success, minisign's output otherwise.
std::string MinisignSign(const std::string& secretKey, const std::string& file,
                         const std::string& trustedComment);

// A trusted comment for file name signed at timestamp; expires is added
// when not 0.
std::string TrustedComment(const std::string& name, long long timestamp, long long expires = 0);

}  // namespace testing_support
