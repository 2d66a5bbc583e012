// Checks a file's signature once as the programs do (for
// bench/patch_apply.py): KEYS is a trusted keys file, the signature is
// FILE.minisig. Exit code 0 when it is valid, 1 otherwise.
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "common/signing/minisig.h"
#include "common/signing/trusted_keys.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KEYS FILE\n", argv[0]);
        return 2;
    }
    const signing::TrustedKeys keys = signing::LoadTrustedKeys(argv[1]);
    const std::string file = argv[2];
    std::ifstream in(file + ".minisig", std::ios::binary);
    const std::string sig((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const signing::Verdict verdict =
        signing::VerifyFile(keys, file, sig, signing::ExpectedFileName(file), std::time(nullptr));
    return verdict.result == signing::Check::Ok ? 0 : 1;
}
