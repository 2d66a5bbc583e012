// Fetching the publisher signature that lies beside a downloaded document or
// file, at its address + ".minisig". Each comes the way its document does.
#pragma once

#include <string>

// Signature texts are small; a larger answer is not one.
inline constexpr std::size_t kMaxSignatureBytes = 64 * 1024;

// The signature of a small document fetched with the updater's own client
// (the update list, the expansion list): the request line names the path, or
// the whole address when wholeAddress is set, as for the document itself.
// Empty when it cannot be fetched.
std::string FetchDocumentSignature(const std::string& documentUrl, bool wholeAddress);

// The signature of a patch file or installer, over the HTTP library that
// downloads the files. Empty when it cannot be fetched (no answer 200, too
// large, or the run is stopping).
std::string FetchFileSignature(const std::string& fileUrl);
