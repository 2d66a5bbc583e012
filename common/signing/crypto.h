// The primitives signatures are made of, all from OpenSSL: Ed25519 and
// BLAKE2b-512, the latter also over a file read in large blocks.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace signing {

using Digest = std::array<unsigned char, 64>;
using Ed25519Signature = std::array<unsigned char, 64>;

bool Blake2b512(std::string_view data, Digest& out);
// Hashes the whole file at path; false when it cannot be opened or read.
bool Blake2b512File(const std::string& path, Digest& out);

bool Ed25519Verify(const std::array<unsigned char, 32>& publicKey,
                   const Ed25519Signature& signature, const unsigned char* message,
                   std::size_t size);
// seed: the 32-byte private key.
bool Ed25519Sign(const unsigned char* seed, const unsigned char* message, std::size_t size,
                 Ed25519Signature& out);
bool Ed25519PublicFromSeed(const unsigned char* seed, std::array<unsigned char, 32>& out);
// A fresh key pair from the system's random source.
bool Ed25519Generate(std::array<unsigned char, 32>& seed, std::array<unsigned char, 32>& publicKey);
bool RandomBytes(unsigned char* out, std::size_t size);

}  // namespace signing
