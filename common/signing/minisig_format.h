// The text formats of minisign files: signatures (.minisig), secret keys and
// the trusted comment's words. Parsing only; no key or signature is checked.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace signing {

struct Minisig {
    bool prehashed = true;  // "ED": signed is the BLAKE2b-512 digest; "Ed": the data itself
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 64> signature{};
    std::string trustedComment;  // the text after "trusted comment: "
    std::array<unsigned char, 64> globalSignature{};
};

// Four lines: "untrusted comment: ...", the signature, "trusted comment: ..."
// and the global signature; nothing but empty lines may follow. Lines may end
// in "\r\n".
bool ParseMinisig(std::string_view text, Minisig& out);
std::string FormatMinisig(const Minisig& sig, std::string_view untrustedComment);

// The words of a trusted comment that checks rely on. Words are separated by
// runs of spaces or tabs; a word "key:value" sets key, other words (such as
// "hashed") carry nothing. A key given twice counts as not given, so that a
// comment cannot say two things at once.
struct CommentFields {
    std::optional<std::string> file;
    std::optional<std::int64_t> timestamp;  // absent also when not a plain decimal number
    bool hasExpires = false;                // an "expires:" word is present
    std::optional<std::int64_t> expires;    // its value, when readable and given once
};
CommentFields ParseTrustedComment(std::string_view comment);

struct SecretKey {
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 32> seed{};
    std::array<unsigned char, 32> publicKey{};
};
// An unencrypted minisign secret key file ("minisign -G -W", "zrpatch keygen").
// Checks that the public half belongs to the seed.
bool ParseSecretKeyFile(std::string_view text, SecretKey& out, std::string& error);
std::string FormatSecretKeyFile(const SecretKey& key);
std::string FormatPublicKeyFile(const std::array<unsigned char, 8>& keyId,
                                const std::array<unsigned char, 32>& publicKey);

// The key id as minisign prints it: the 8 bytes as a little-endian number in
// upper-case hex.
std::string KeyIdHex(const std::array<unsigned char, 8>& keyId);

}  // namespace signing
