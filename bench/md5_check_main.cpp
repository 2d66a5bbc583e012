// Runs CheckFileMd5 once on a file (for bench/patch_apply.py); exit code 0
// on a match, 1 on a mismatch.
#include <cstdio>

#include "korvel/update/md5.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE MD5\n", argv[0]);
        return 2;
    }
    return CheckFileMd5(argv[1], argv[2]) == 1 ? 0 : 1;
}
