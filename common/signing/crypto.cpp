#include "common/signing/crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace signing {

namespace {

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using MdPtr = std::unique_ptr<EVP_MD, MdFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// Large reads keep the per-call cost out of the way of the hash.
constexpr std::size_t kReadBlock = 1 << 20;

MdCtxPtr StartBlake2b() {
    MdPtr md(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!md || !ctx || EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1) {
        return nullptr;
    }
    return ctx;
}

bool FinishBlake2b(EVP_MD_CTX* ctx, Digest& out) {
    unsigned int size = 0;
    return EVP_DigestFinal_ex(ctx, out.data(), &size) == 1 && size == out.size();
}

}  // namespace

bool Blake2b512(std::string_view data, Digest& out) {
    MdCtxPtr ctx = StartBlake2b();
    return ctx && EVP_DigestUpdate(ctx.get(), data.data(), data.size()) == 1 &&
           FinishBlake2b(ctx.get(), out);
}

bool Blake2b512File(const std::string& path, Digest& out) {
    MdCtxPtr ctx = StartBlake2b();
    if (!ctx) {
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<unsigned char> buffer(kReadBlock);
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n)) != 1) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok && FinishBlake2b(ctx.get(), out);
}

bool Ed25519Verify(const std::array<unsigned char, 32>& publicKey,
                   const Ed25519Signature& signature, const unsigned char* message,
                   std::size_t size) {
    PkeyPtr key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message, size) == 1;
}

bool Ed25519Sign(const unsigned char* seed, const unsigned char* message, std::size_t size,
                 Ed25519Signature& out) {
    PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    std::size_t length = out.size();
    return EVP_DigestSign(ctx.get(), out.data(), &length, message, size) == 1 &&
           length == out.size();
}

bool Ed25519PublicFromSeed(const unsigned char* seed, std::array<unsigned char, 32>& out) {
    PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32));
    std::size_t length = out.size();
    return key && EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) == 1 &&
           length == out.size();
}

bool Ed25519Generate(std::array<unsigned char, 32>& seed,
                     std::array<unsigned char, 32>& publicKey) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        return false;
    }
    PkeyPtr key(raw);
    std::size_t seedLength = seed.size();
    std::size_t publicLength = publicKey.size();
    return EVP_PKEY_get_raw_private_key(key.get(), seed.data(), &seedLength) == 1 &&
           seedLength == seed.size() &&
           EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &publicLength) == 1 &&
           publicLength == publicKey.size();
}

bool RandomBytes(unsigned char* out, std::size_t size) {
    return RAND_bytes(out, static_cast<int>(size)) == 1;
}

}  // namespace signing
