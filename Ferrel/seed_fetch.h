// Fetching the seed file and its digest over HTTP.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "common/signing/trusted_keys.h"

namespace ferrel {

// A seed's publisher signature lies at the seed's address + this; it is
// small.
inline constexpr const char* kSignatureSuffix = ".minisig";
inline constexpr std::size_t kMaxSignatureBytes = 64 * 1024;

// Fetches url (http or https only, redirects to those only) into body, at
// most maxBytes, within a 15-second connect and a 60-second overall budget.
// False with the reason in error on any failure, an HTTP status of 400 or
// more included, and when cancel (if given) becomes true.
bool FetchUrl(const std::string& url, std::size_t maxBytes, std::string& body, std::string& error,
              const std::atomic<bool>* cancel = nullptr);

// base + "/" + name, without doubling a "/" that base ends in.
std::string JoinUrl(const std::string& base, const std::string& name);

// The digest in the text of a ".md5" file: its first word when that is 32
// hexadecimal digits, in lower case; empty otherwise.
std::string ParseMd5Text(const std::string& text);

// The MD5 digest of data as 32 lower-case hexadecimal digits.
std::string Md5Hex(const std::string& data);

// Whether the seed's bytes carry a good publisher signature for the seed
// named by addressOrName (its last element): always with no keys configured;
// otherwise signature (empty: none was found) must verify. On refusal error
// says why, after addressOrName.
bool SeedSignatureAccepted(const signing::TrustedKeys& keys, const std::string& seed,
                           const std::string& signature, const std::string& addressOrName,
                           std::string& error);

}  // namespace ferrel
