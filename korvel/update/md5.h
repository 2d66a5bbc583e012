// MD5 digests of files on disk, checked against a 32-digit hexadecimal text.
#pragma once

#include <cstddef>
#include <string>

// 1 when the MD5 digest of the file at path, written as 32 hexadecimal
// digits, equals expectedHex with letter case ignored; 0 in every other case:
// a missing or unreadable file, a file another process holds open for
// writing, an empty file, or an expected text with any other character (a
// trailing blank or line end included).
int CheckFileMd5(std::string path, std::string expectedHex);

// The lower-case digest text of the bytes, for tools and tests.
std::string Md5Hex(const void* data, std::size_t size);
