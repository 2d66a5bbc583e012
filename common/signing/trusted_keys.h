// Publisher keys the programs trust: minisign public keys, read from a keys
// file that only root or the running user may change.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace signing {

struct PublicKey {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 32> key;
};

// None: no file or no key in it -> no checks at all.
enum class KeysState { None, Loaded, Unsafe };

struct TrustedKeys {
    KeysState state = KeysState::None;
    std::vector<PublicKey> keys;
    std::string problem;  // why Unsafe (for logs and tests), empty otherwise
    bool Enforced() const { return state != KeysState::None; }
};

// The path compiled in from the CMake cache variable ZORNIA_TRUSTED_KEYS_FILE
// (default /etc/zornia/trusted-keys).
const char* DefaultTrustedKeysPath();
// Owner must be root or the running user, no group/other write; unreadable or
// unsafe -> Unsafe.
TrustedKeys LoadTrustedKeys(const std::string& path);
bool ParsePublicKeyLine(std::string_view base64Line, PublicKey& out);
// The keys of a keys file's text. Empty lines, lines starting with "#" and
// "untrusted comment:" lines are skipped; any other line must be a key, else
// the text is refused as a whole (problem says which line).
bool ParseTrustedKeysText(std::string_view text, std::vector<PublicKey>& keys,
                          std::string& problem);

}  // namespace signing
