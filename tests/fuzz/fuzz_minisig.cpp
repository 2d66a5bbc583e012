// Parses arbitrary text as a .minisig file and checks it against a fixed key
// and message, as the programs do with what a server sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/signing/minisig.h"
#include "common/signing/minisig_format.h"
#include "common/signing/trusted_keys.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The public half of the throwaway key the seed corpus was signed with, and
// the list the seeds sign.
const char* const kKeyLine = "RWQXD6ug3mTDSn5SDktjxw9gGRRJP9nCx0lAI5M8gI6i0/iI+8Y2h3YB";
const char* const kList =
    "1.0.3 http://127.0.0.1/p/a103.dat d41d8cd98f00b204e9800998ecf8427e 17 http\n";

bool HasBlank(const std::string& s) {
    return s.find_first_of(" \t") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    signing::Minisig sig;
    if (signing::ParseMinisig(text, sig)) {
        Require(sig.trustedComment.find('\n') == std::string::npos);
        // What is parsed is written back the same way, unless the comment
        // itself ends in a carriage return (taken as part of a line end).
        if (sig.trustedComment.empty() || sig.trustedComment.back() != '\r') {
            signing::Minisig again;
            Require(signing::ParseMinisig(signing::FormatMinisig(sig, "x"), again));
            Require(again.prehashed == sig.prehashed && again.keyId == sig.keyId &&
                    again.signature == sig.signature &&
                    again.trustedComment == sig.trustedComment &&
                    again.globalSignature == sig.globalSignature);
        }
        const signing::CommentFields fields = signing::ParseTrustedComment(sig.trustedComment);
        Require(!fields.file || !HasBlank(*fields.file));
        Require(!fields.timestamp || *fields.timestamp >= 0);
        Require(!fields.expires || (fields.hasExpires && *fields.expires >= 0));
    }

    signing::TrustedKeys keys;
    keys.state = signing::KeysState::Loaded;
    keys.keys.emplace_back();
    Require(signing::ParsePublicKeyLine(kKeyLine, keys.keys.back()));
    const signing::Verdict verdict =
        signing::VerifyBytes(keys, kList, text, "list.txt", 1'800'000'000);
    if (verdict.result == signing::Check::Ok) {
        const signing::CommentFields fields = signing::ParseTrustedComment(verdict.trustedComment);
        Require(fields.file == "list.txt" && fields.timestamp == verdict.timestamp);
    }
    Require(size != 0 || verdict.result == signing::Check::Missing);
    return 0;
}
