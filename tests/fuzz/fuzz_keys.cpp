// Parses arbitrary text as a trusted keys file, a public key line and a
// secret key file; whatever is accepted must be written back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/signing/minisig_format.h"
#include "common/signing/trusted_keys.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::vector<signing::PublicKey> keys;
    std::string problem;
    if (signing::ParseTrustedKeysText(text, keys, problem)) {
        Require(problem.empty());
        for (const signing::PublicKey& key : keys) {
            std::vector<signing::PublicKey> again;
            Require(signing::ParseTrustedKeysText(signing::FormatPublicKeyFile(key.keyId, key.key),
                                                  again, problem));
            Require(again.size() == 1 && again[0].keyId == key.keyId && again[0].key == key.key);
        }
    } else {
        Require(keys.empty() && !problem.empty());
    }

    signing::PublicKey line{};
    if (signing::ParsePublicKeyLine(text, line))
        Require(text.size() >= 56);

    signing::SecretKey secret;
    std::string error;
    if (signing::ParseSecretKeyFile(text, secret, error)) {
        signing::SecretKey again;
        Require(signing::ParseSecretKeyFile(signing::FormatSecretKeyFile(secret), again, error));
        Require(again.keyId == secret.keyId && again.seed == secret.seed &&
                again.publicKey == secret.publicKey);
    } else {
        Require(!error.empty());
    }
    return 0;
}
