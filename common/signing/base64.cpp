#include "common/signing/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

namespace signing {

namespace {

int AlphabetIndex(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

bool DecodeBase64Exact(std::string_view text, unsigned char* out, std::size_t size) {
    const std::size_t padding = (3 - size % 3) % 3;
    const std::size_t encodedLength = (size + 2) / 3 * 4;
    if (size == 0 || text.size() != encodedLength) {
        return false;
    }
    const std::size_t dataChars = encodedLength - padding;
    for (std::size_t i = 0; i < dataChars; ++i) {
        if (AlphabetIndex(text[i]) < 0) {
            return false;
        }
    }
    for (std::size_t i = dataChars; i < encodedLength; ++i) {
        if (text[i] != '=') {
            return false;
        }
    }
    // The bits of the last character beyond the data must be zero, so one
    // byte string has one text only.
    const int last = AlphabetIndex(text[dataChars - 1]);
    if ((padding == 1 && (last & 0x03) != 0) || (padding == 2 && (last & 0x0f) != 0)) {
        return false;
    }
    std::vector<unsigned char> decoded(encodedLength / 4 * 3);
    const int n =
        EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != decoded.size()) {
        return false;
    }
    std::copy(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(size), out);
    return true;
}

std::string EncodeBase64(const unsigned char* data, std::size_t size) {
    std::string text((size + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data,
                                  static_cast<int>(size));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

}  // namespace signing
