// Signatures in minisign's format: checking them (the programs) and making
// keys and signatures (the publisher tool).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/signing/trusted_keys.h"

namespace signing {

enum class Check {
    Ok,
    KeysUnsafe,    // keys file exists but is not safe: every check fails
    Missing,       // no signature (empty text / could not be fetched; callers pass "")
    Malformed,     // not a minisig file
    UnknownKey,    // key id not among the trusted keys
    BadSignature,  // signature or global signature wrong
    WrongFile,     // trusted comment has no file:NAME or NAME differs from the expected name
    NoTimestamp,   // trusted comment has no timestamp:N
    Expired,       // expires:N and now > N
};

struct Verdict {
    Check result = Check::Missing;
    std::int64_t timestamp = 0;  // from the trusted comment, when Ok
    std::string trustedComment;
};

// The file name a signature must name: the last element of an address or
// path ("http://h/a/list.txt" -> "list.txt").
std::string ExpectedFileName(std::string_view addressOrPath);

// Verify a whole buffer (the update list) / a file on disk (streamed,
// prehashed "ED" or legacy "Ed").
Verdict VerifyBytes(const TrustedKeys& keys, std::string_view data, std::string_view minisigText,
                    std::string_view expectedName, std::int64_t now);
Verdict VerifyFile(const TrustedKeys& keys, const std::string& path, std::string_view minisigText,
                   std::string_view expectedName, std::int64_t now);

// Publisher side (zrpatch): keys and signatures in minisign's formats.
// NAME.key (0600, unencrypted), NAME.pub.
bool GenerateKeyPair(const std::string& baseName, std::string& error);
// Writes FILE.minisig, prehashed.
bool SignFile(const std::string& secretKeyPath, const std::string& file,
              std::optional<int> expiresDays, std::string& error);

}  // namespace signing
