// The publisher's side: key pairs and prehashed signatures in minisign's
// formats.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/signing/crypto.h"
#include "common/signing/minisig.h"
#include "common/signing/minisig_format.h"

namespace signing {

namespace {

constexpr int kMaxExpiresDays = 100 * 366;

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates path (never over an existing file) with exactly the given mode.
bool CreateNewFile(const std::string& path, const std::string& text, mode_t mode,
                   std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    const int e = errno;
    if (close(fd) != 0 || !ok) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : e);
        unlink(path.c_str());
        return false;
    }
    return true;
}

// Replaces path as a whole: readers see the old file or the new one.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    const int e = errno;
    if (close(fd) != 0 || !ok || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : e);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool ReadKeyFile(const std::string& path, std::string& out, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[4096];
    std::size_t n = 0;
    out.clear();
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && out.size() < (1 << 16)) {
        out.append(buffer, n);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

// The name goes into the trusted comment as one word.
bool UsableName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool GenerateKeyPair(const std::string& baseName, std::string& error) {
    SecretKey key;
    if (!Ed25519Generate(key.seed, key.publicKey) ||
        !RandomBytes(key.keyId.data(), key.keyId.size())) {
        error = "cannot make a key pair";
        return false;
    }
    const std::string secretPath = baseName + ".key";
    const std::string publicPath = baseName + ".pub";
    struct stat st {};
    if (lstat(publicPath.c_str(), &st) == 0) {
        error = publicPath + " already exists";
        return false;
    }
    if (!CreateNewFile(secretPath, FormatSecretKeyFile(key), 0600, error)) {
        return false;
    }
    if (!CreateNewFile(publicPath, FormatPublicKeyFile(key.keyId, key.publicKey), 0644, error)) {
        unlink(secretPath.c_str());
        return false;
    }
    return true;
}

bool SignFile(const std::string& secretKeyPath, const std::string& file,
              std::optional<int> expiresDays, std::string& error) {
    if (expiresDays && (*expiresDays < 1 || *expiresDays > kMaxExpiresDays)) {
        error = "the number of days must lie between 1 and " + std::to_string(kMaxExpiresDays);
        return false;
    }
    const std::string name = ExpectedFileName(file);
    if (!UsableName(name)) {
        error = "cannot sign \"" + file + "\": its name must not be empty or hold blanks";
        return false;
    }
    std::string keyText;
    SecretKey key;
    if (!ReadKeyFile(secretKeyPath, keyText, error)) {
        return false;
    }
    if (!ParseSecretKeyFile(keyText, key, error)) {
        error = secretKeyPath + ": " + error;
        return false;
    }
    Digest digest{};
    if (!Blake2b512File(file, digest)) {
        error = "cannot read " + file;
        return false;
    }
    const std::int64_t now = std::time(nullptr);
    Minisig sig;
    sig.prehashed = true;
    sig.keyId = key.keyId;
    sig.trustedComment = "timestamp:" + std::to_string(now) + "\tfile:" + name;
    if (expiresDays) {
        sig.trustedComment +=
            "\texpires:" + std::to_string(now + std::int64_t{*expiresDays} * 86400);
    }
    sig.trustedComment += "\thashed";
    if (!Ed25519Sign(key.seed.data(), digest.data(), digest.size(), sig.signature)) {
        error = "cannot sign " + file;
        return false;
    }
    std::string signedComment(sig.signature.begin(), sig.signature.end());
    signedComment += sig.trustedComment;
    if (!Ed25519Sign(key.seed.data(), reinterpret_cast<const unsigned char*>(signedComment.data()),
                     signedComment.size(), sig.globalSignature)) {
        error = "cannot sign " + file;
        return false;
    }
    return ReplaceFile(
        file + ".minisig",
        FormatMinisig(sig, "signature from zrpatch secret key " + KeyIdHex(key.keyId)), error);
}

}  // namespace signing
