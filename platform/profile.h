// Reading of Windows-style initialisation files ("[section]" / "key=value").
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Reads one value from an initialisation file, the way the Windows
// private-profile string function does:
//  - the file is read anew on every call; nothing is cached;
//  - section and key names match without regard to ASCII letter case
//    (double-byte characters of the system code page are compared exactly);
//  - blanks around names and values are trimmed, CRLF and LF line ends and a
//    UTF-8 byte-order mark at the start of the file are accepted;
//  - a value wrapped in a matching pair of double or single quotes loses them;
//  - only the first section of a given name is searched, and the first
//    matching key in it wins;
//  - a missing file, section or key (or a key line without "=") gives the
//    default, with its trailing blanks removed;
//  - the result is cut to bufferSize - 1 bytes, as a caller's buffer of
//    bufferSize bytes would hold it (bufferSize 0 gives an empty string).
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, std::size_t bufferSize,
                                    const std::string& path);

}  // namespace platform
