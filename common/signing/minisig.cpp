#include "common/signing/minisig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/signing/crypto.h"
#include "common/signing/minisig_format.h"

namespace signing {

namespace {

// A legacy signature covers the data itself, which Ed25519 needs in memory
// at once; files beyond this are only accepted with prehashed signatures.
constexpr off_t kMaxLegacyFileSize = 256 << 20;

Verdict Refused(Check result, std::string comment = {}) {
    Verdict verdict;
    verdict.result = result;
    verdict.trustedComment = std::move(comment);
    return verdict;
}

// Everything a signature says before its data is looked at: form, key,
// global signature and the trusted comment's rules. On Ok, key and sig are
// set and verdict carries the timestamp and comment.
Verdict CheckEnvelope(const TrustedKeys& keys, std::string_view minisigText,
                      std::string_view expectedName, std::int64_t now, Minisig& sig,
                      const PublicKey*& key) {
    if (keys.state == KeysState::Unsafe) {
        return Refused(Check::KeysUnsafe);
    }
    if (minisigText.empty()) {
        return Refused(Check::Missing);
    }
    if (!ParseMinisig(minisigText, sig)) {
        return Refused(Check::Malformed);
    }
    const auto found = std::find_if(keys.keys.begin(), keys.keys.end(),
                                    [&](const PublicKey& k) { return k.keyId == sig.keyId; });
    if (found == keys.keys.end()) {
        return Refused(Check::UnknownKey);
    }
    key = &*found;
    std::vector<unsigned char> signedComment(sig.signature.begin(), sig.signature.end());
    signedComment.insert(signedComment.end(), sig.trustedComment.begin(), sig.trustedComment.end());
    if (!Ed25519Verify(key->key, sig.globalSignature, signedComment.data(), signedComment.size())) {
        return Refused(Check::BadSignature);
    }
    // From here on the comment is the publisher's own words.
    const CommentFields fields = ParseTrustedComment(sig.trustedComment);
    if (expectedName.empty() || !fields.file || *fields.file != expectedName) {
        return Refused(Check::WrongFile, sig.trustedComment);
    }
    if (!fields.timestamp) {
        return Refused(Check::NoTimestamp, sig.trustedComment);
    }
    // An "expires:" that cannot be read is no promise of validity.
    if (fields.hasExpires && (!fields.expires || now > *fields.expires)) {
        return Refused(Check::Expired, sig.trustedComment);
    }
    Verdict verdict;
    verdict.result = Check::Ok;
    verdict.timestamp = *fields.timestamp;
    verdict.trustedComment = sig.trustedComment;
    return verdict;
}

Verdict CheckData(Verdict verdict, const PublicKey& key, const Minisig& sig,
                  const unsigned char* data, std::size_t size) {
    if (!Ed25519Verify(key.key, sig.signature, data, size)) {
        verdict.result = Check::BadSignature;
        verdict.timestamp = 0;
    }
    return verdict;
}

bool ReadSmallFile(const std::string& path, std::string& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size > kMaxLegacyFileSize) {
        close(fd);
        return false;
    }
    out.clear();
    char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > static_cast<std::size_t>(kMaxLegacyFileSize)) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

}  // namespace

std::string ExpectedFileName(std::string_view addressOrPath) {
    std::string_view s = addressOrPath;
    if (s.find("://") != std::string_view::npos) {
        s = s.substr(0, s.find_first_of("?#"));
    }
    const std::size_t slash = s.rfind('/');
    if (slash != std::string_view::npos) {
        s.remove_prefix(slash + 1);
    }
    return std::string(s);
}

Verdict VerifyBytes(const TrustedKeys& keys, std::string_view data, std::string_view minisigText,
                    std::string_view expectedName, std::int64_t now) {
    Minisig sig;
    const PublicKey* key = nullptr;
    Verdict verdict = CheckEnvelope(keys, minisigText, expectedName, now, sig, key);
    if (verdict.result != Check::Ok) {
        return verdict;
    }
    if (!sig.prehashed) {
        return CheckData(std::move(verdict), *key, sig,
                         reinterpret_cast<const unsigned char*>(data.data()), data.size());
    }
    Digest digest{};
    if (!Blake2b512(data, digest)) {
        return Refused(Check::BadSignature, verdict.trustedComment);
    }
    return CheckData(std::move(verdict), *key, sig, digest.data(), digest.size());
}

Verdict VerifyFile(const TrustedKeys& keys, const std::string& path, std::string_view minisigText,
                   std::string_view expectedName, std::int64_t now) {
    Minisig sig;
    const PublicKey* key = nullptr;
    Verdict verdict = CheckEnvelope(keys, minisigText, expectedName, now, sig, key);
    if (verdict.result != Check::Ok) {
        return verdict;
    }
    if (!sig.prehashed) {
        std::string data;
        if (!ReadSmallFile(path, data)) {
            return Refused(Check::BadSignature, verdict.trustedComment);
        }
        return CheckData(std::move(verdict), *key, sig,
                         reinterpret_cast<const unsigned char*>(data.data()), data.size());
    }
    Digest digest{};
    if (!Blake2b512File(path, digest)) {
        return Refused(Check::BadSignature, verdict.trustedComment);
    }
    return CheckData(std::move(verdict), *key, sig, digest.data(), digest.size());
}

}  // namespace signing
