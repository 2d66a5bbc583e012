// Strict base64 (standard alphabet, "=" padding) for key and signature lines:
// the text must decode to exactly the expected number of bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace signing {

// Decodes text into exactly `size` bytes at out. Refuses any other length,
// characters outside the alphabet, misplaced padding and non-zero unused bits.
bool DecodeBase64Exact(std::string_view text, unsigned char* out, std::size_t size);
std::string EncodeBase64(const unsigned char* data, std::size_t size);

}  // namespace signing
