// bzip2 streams for the decoder tests, packed by libbz2 itself.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>

namespace bzip2_test {

inline std::string Compress(const std::string& data, int level) {
    std::string out(data.size() + data.size() / 100 + 600, '\0');
    auto size = static_cast<unsigned int>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                       static_cast<unsigned int>(data.size()), level, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

inline const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace bzip2_test
