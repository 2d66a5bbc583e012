#include "common/signing/minisig_format.h"

#include <algorithm>
#include <charconv>

#include "common/signing/base64.h"
#include "common/signing/crypto.h"

namespace signing {

namespace {

constexpr std::size_t kMaxSignatureText = 64 * 1024;
constexpr std::size_t kMaxSecretKeyText = 16 * 1024;
constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// Secret key layout: algorithm "Ed", key derivation ("\0\0": none), checksum
// algorithm "B2", salt, two limits, then key id, seed, public key, checksum.
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 32 + 32 + 32;
constexpr std::size_t kKeyIdOffset = 54;

// Splits text into lines one at a time; a line loses its "\n" and one "\r".
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}
    bool Next(std::string_view& line) {
        if (pos_ >= text_.size()) {
            return false;
        }
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) {
            end = text_.size();
        }
        line = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return true;
    }
    bool OnlyEmptyLinesLeft() {
        std::string_view line;
        while (Next(line)) {
            if (!line.empty()) {
                return false;
            }
        }
        return true;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

std::optional<std::int64_t> ParseDecimal(std::string_view s) {
    if (s.empty() || s.size() > 18 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

}  // namespace

bool ParseMinisig(std::string_view text, Minisig& out) {
    if (text.size() > kMaxSignatureText) {
        return false;
    }
    Lines lines(text);
    std::string_view untrusted, signature, trusted, global;
    if (!lines.Next(untrusted) || !lines.Next(signature) || !lines.Next(trusted) ||
        !lines.Next(global) || !lines.OnlyEmptyLinesLeft()) {
        return false;
    }
    if (!untrusted.starts_with(kUntrustedPrefix) || !trusted.starts_with(kTrustedPrefix)) {
        return false;
    }
    unsigned char raw[2 + 8 + 64];
    if (!DecodeBase64Exact(signature, raw, sizeof raw) ||
        !DecodeBase64Exact(global, out.globalSignature.data(), out.globalSignature.size())) {
        return false;
    }
    if (raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd')) {
        return false;
    }
    out.prehashed = raw[1] == 'D';
    std::copy(raw + 2, raw + 10, out.keyId.begin());
    std::copy(raw + 10, raw + sizeof raw, out.signature.begin());
    out.trustedComment = std::string(trusted.substr(kTrustedPrefix.size()));
    return true;
}

std::string FormatMinisig(const Minisig& sig, std::string_view untrustedComment) {
    unsigned char raw[2 + 8 + 64];
    raw[0] = 'E';
    raw[1] = sig.prehashed ? 'D' : 'd';
    std::copy(sig.keyId.begin(), sig.keyId.end(), raw + 2);
    std::copy(sig.signature.begin(), sig.signature.end(), raw + 10);
    std::string text = std::string(kUntrustedPrefix) + " " + std::string(untrustedComment) + "\n";
    text += EncodeBase64(raw, sizeof raw) + "\n";
    text += std::string(kTrustedPrefix) + sig.trustedComment + "\n";
    text += EncodeBase64(sig.globalSignature.data(), sig.globalSignature.size()) + "\n";
    return text;
}

CommentFields ParseTrustedComment(std::string_view comment) {
    CommentFields fields;
    int fileCount = 0;
    int timestampCount = 0;
    int expiresCount = 0;
    std::string_view timestampText, expiresText;
    std::size_t pos = 0;
    while (pos < comment.size()) {
        const std::size_t start = comment.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos) {
            break;
        }
        std::size_t end = comment.find_first_of(" \t", start);
        if (end == std::string_view::npos) {
            end = comment.size();
        }
        const std::string_view word = comment.substr(start, end - start);
        pos = end;
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view key = word.substr(0, colon);
        const std::string_view value = word.substr(colon + 1);
        if (key == "file") {
            ++fileCount;
            fields.file = std::string(value);
        } else if (key == "timestamp") {
            ++timestampCount;
            timestampText = value;
        } else if (key == "expires") {
            ++expiresCount;
            expiresText = value;
        }
    }
    if (fileCount != 1) {
        fields.file.reset();
    }
    if (timestampCount == 1) {
        fields.timestamp = ParseDecimal(timestampText);
    }
    fields.hasExpires = expiresCount > 0;
    if (expiresCount == 1) {
        fields.expires = ParseDecimal(expiresText);
    }
    return fields;
}

bool ParseSecretKeyFile(std::string_view text, SecretKey& out, std::string& error) {
    Lines lines(text);
    std::string_view comment, body;
    if (text.size() > kMaxSecretKeyText || !lines.Next(comment) || !lines.Next(body) ||
        !lines.OnlyEmptyLinesLeft() || !comment.starts_with(kUntrustedPrefix)) {
        error = "not a minisign secret key file";
        return false;
    }
    unsigned char raw[kSecretKeyBytes];
    if (!DecodeBase64Exact(body, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd' ||
        raw[4] != 'B' || raw[5] != '2') {
        error = "not a minisign secret key file";
        return false;
    }
    if (raw[2] != 0 || raw[3] != 0) {
        error =
            "the secret key is encrypted with a password; make keys with "
            "\"minisign -G -W\" or \"zrpatch keygen\"";
        return false;
    }
    std::copy(raw + kKeyIdOffset, raw + kKeyIdOffset + 8, out.keyId.begin());
    std::copy(raw + kKeyIdOffset + 8, raw + kKeyIdOffset + 40, out.seed.begin());
    std::copy(raw + kKeyIdOffset + 40, raw + kKeyIdOffset + 72, out.publicKey.begin());
    std::array<unsigned char, 32> derived{};
    if (!Ed25519PublicFromSeed(out.seed.data(), derived) || derived != out.publicKey) {
        error = "the secret key is damaged (its public half does not match)";
        return false;
    }
    return true;
}

std::string FormatSecretKeyFile(const SecretKey& key) {
    // Laid out as "minisign -G -W" writes it: no key derivation, zero salt,
    // limits and checksum.
    unsigned char raw[kSecretKeyBytes] = {};
    raw[0] = 'E';
    raw[1] = 'd';
    raw[4] = 'B';
    raw[5] = '2';
    std::copy(key.keyId.begin(), key.keyId.end(), raw + kKeyIdOffset);
    std::copy(key.seed.begin(), key.seed.end(), raw + kKeyIdOffset + 8);
    std::copy(key.publicKey.begin(), key.publicKey.end(), raw + kKeyIdOffset + 40);
    return std::string(kUntrustedPrefix) + " zrpatch secret key (not encrypted)\n" +
           EncodeBase64(raw, sizeof raw) + "\n";
}

std::string FormatPublicKeyFile(const std::array<unsigned char, 8>& keyId,
                                const std::array<unsigned char, 32>& publicKey) {
    unsigned char raw[2 + 8 + 32];
    raw[0] = 'E';
    raw[1] = 'd';
    std::copy(keyId.begin(), keyId.end(), raw + 2);
    std::copy(publicKey.begin(), publicKey.end(), raw + 10);
    return std::string(kUntrustedPrefix) + " minisign public key " + KeyIdHex(keyId) + "\n" +
           EncodeBase64(raw, sizeof raw) + "\n";
}

std::string KeyIdHex(const std::array<unsigned char, 8>& keyId) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (auto it = keyId.rbegin(); it != keyId.rend(); ++it) {
        hex += kDigits[*it >> 4];
        hex += kDigits[*it & 0x0f];
    }
    return hex;
}

}  // namespace signing
