#include "tests/support/publishing.h"

#include <filesystem>

#include "tests/support/child_process.h"

namespace testing_support {

std::string MakePatches(const std::string& zrpatch, const TempDir& dir,
                        const std::vector<PatchToMake>& patches) {
    for (const auto& p : patches) {
        std::filesystem::create_directories(std::filesystem::path(dir.Sub(p.out)).parent_path());
        const RunResult r =
            RunProgram({zrpatch, "make", "--from", dir.Sub(p.from), "--to", dir.Sub(p.to),
                        "--version", p.version, "--codec", p.codec, "-o", dir.Sub(p.out)});
        if (r.exitCode != 0)
            return std::string(p.out) + ": " + r.err;
    }
    return {};
}

std::string UpdateListEntry(const std::string& zrpatch, const std::string& file,
                            const std::string& version, const std::string& btUrl,
                            const std::string& httpUrl, const std::string& method) {
    const RunResult r = RunProgram({zrpatch, "entry", file, "--version", version, "--bt-url", btUrl,
                                    "--http-url", httpUrl, "--method", method});
    return r.exitCode == 0 ? r.out : std::string();
}

std::string MinisignKeyPair(const std::string& base) {
    const RunResult r =
        RunProgram({"minisign", "-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".key"});
    return r.exitCode == 0 ? std::string() : r.out + r.err;
}

std::string MinisignSign(const std::string& secretKey, const std::string& file,
                         const std::string& trustedComment) {
    const RunResult r =
        RunProgram({"minisign", "-S", "-s", secretKey, "-m", file, "-t", trustedComment});
    return r.exitCode == 0 ? std::string() : r.out + r.err;
}

std::string TrustedComment(const std::string& name, long long timestamp, long long expires) {
    std::string comment = "timestamp:" + std::to_string(timestamp) + "\tfile:" + name;
    if (expires != 0)
        comment += "\texpires:" + std::to_string(expires);
    return comment;
}

}  // namespace testing_support
