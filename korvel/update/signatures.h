// Publisher signatures of what the updater downloads: the texts that refuse
// a file, and the update list's check with its guard against an older list
// played back in place of the newest one.
#pragma once

#include <cstdint>
#include <string>

#include "common/signing/minisig.h"

// The refusal of the file called name for this result (it names the file
// and says "签名"); empty for Check::Ok.
std::string SignatureRefusal(signing::Check result, const std::string& name);

// Checks a downloaded file against its signature text (empty: none was
// found). Empty when accepted, otherwise the refusal text.
std::string CheckFileSignature(const signing::TrustedKeys& keys, const std::string& path,
                               const std::string& signature, const std::string& name,
                               std::int64_t now);

// The newest update-list time a game folder accepted is kept in its download
// folder, in a file of this name holding the decimal seconds.
inline constexpr const char* kAcceptedListFile = "update-list.accepted";
// 0 when nothing is kept (or the file does not hold a number).
std::int64_t ReadAcceptedListTime(const std::string& downloadDir);
// Keeps timestamp (creating the folder); false when it cannot be written.
bool KeepAcceptedListTime(const std::string& downloadDir, std::int64_t timestamp);

// Checks the update list's text against its signature text and against the
// newest list the game folder accepted before: a list signed earlier than
// that one is refused, one of the same time is not. An accepted list's time
// is kept. Empty when accepted, otherwise the refusal text naming the list's
// file (the last element of listUrl).
std::string CheckUpdateListSignature(const signing::TrustedKeys& keys, const std::string& text,
                                     const std::string& signature, const std::string& listUrl,
                                     const std::string& downloadDir, std::int64_t now);
