// zrpatch's signing commands against the real minisign program, both ways.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/signing/minisig.h"
#include "common/signing/trusted_keys.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::TempDir;

RunResult Zrpatch(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ZRPATCH_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

RunResult Minisign(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"minisign"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

signing::Check LibraryCheck(const std::string& pub, const std::string& file) {
    const signing::TrustedKeys keys = signing::LoadTrustedKeys(pub);
    EXPECT_EQ(keys.state, signing::KeysState::Loaded) << keys.problem;
    return signing::VerifyFile(keys, file, ReadFile(file + ".minisig"),
                               signing::ExpectedFileName(file), std::time(nullptr))
        .result;
}

TEST(ZrpatchSign, MinisignKeysSignWithZrpatchAndVerifyWithMinisign) {
    const TempDir dir;
    const RunResult made = Minisign({"-G", "-W", "-p", dir.Sub("m.pub"), "-s", dir.Sub("m.key")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string list = dir.Write("list.txt", "1.0.3 http://h/a103.dat\n");
    const std::string patch = dir.Write("p/a103.dat", testing_support::RandomBytes(300000, 3));

    const RunResult signedFiles =
        Zrpatch({"sign", "--key", dir.Sub("m.key"), "--expires", "7", list, patch});
    ASSERT_EQ(signedFiles.exitCode, 0) << signedFiles.err;
    EXPECT_EQ(signedFiles.out, "signed " + list + "\nsigned " + patch + "\n");
    for (const auto& [file, name] : {std::pair{list, "list.txt"}, {patch, "a103.dat"}}) {
        const RunResult checked = Minisign({"-V", "-p", dir.Sub("m.pub"), "-m", file});
        EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
        const std::string comment = "Trusted comment: timestamp:";
        const std::size_t at = checked.out.find(comment);
        ASSERT_NE(at, std::string::npos) << checked.out;
        const std::string rest = checked.out.substr(at + comment.size());
        EXPECT_NE(rest.find(std::string("\tfile:") + name + "\texpires:"), std::string::npos)
            << rest;
        EXPECT_NE(rest.find("\thashed\n"), std::string::npos) << rest;
        EXPECT_EQ(Zrpatch({"verify", "--pub", dir.Sub("m.pub"), file}).exitCode, 0) << file;
    }

    // minisign itself refuses what zrpatch signed once the file changes.
    testing_support::WriteFile(patch, ReadFile(patch) + "x");
    EXPECT_NE(Minisign({"-V", "-p", dir.Sub("m.pub"), "-m", patch}).exitCode, 0);
    const RunResult refused = Zrpatch({"verify", "--pub", dir.Sub("m.pub"), patch});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("does not match"), std::string::npos) << refused.err;
}

TEST(ZrpatchSign, ZrpatchKeysSignWithMinisignAndVerifyWithTheLibrary) {
    const TempDir dir;
    const RunResult made = Zrpatch({"keygen", "-o", dir.Sub("z")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    struct stat st {};
    ASSERT_EQ(stat(dir.Sub("z.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(made.out.find("key-id "), std::string::npos) << made.out;
    const std::string pub = dir.Sub("z.pub");
    // minisign reads the key id from zrpatch's public key file.
    const std::string keyId = made.out.substr(made.out.find("key-id ") + 7, 16);
    EXPECT_EQ(ReadFile(pub).rfind("untrusted comment: minisign public key " + keyId + "\n", 0), 0u);

    const std::string file = dir.Write("a103.dat", testing_support::RandomBytes(200000, 5));
    const std::string key = dir.Sub("z.key");
    struct Case {
        const char* what;
        std::vector<std::string> minisignArgs;
        signing::Check expected;
    } cases[] = {
        {"default comment", {}, signing::Check::Ok},
        {"legacy", {"-l"}, signing::Check::Ok},
        {"comment with expiry",
         {"-t", "timestamp:1 file:a103.dat expires:99999999999"},
         signing::Check::Ok},
        {"expired", {"-t", "timestamp:1 file:a103.dat expires:2"}, signing::Check::Expired},
        {"another file's name", {"-t", "timestamp:1\tfile:a104.dat"}, signing::Check::WrongFile},
        {"no timestamp", {"-t", "file:a103.dat"}, signing::Check::NoTimestamp},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-S", "-s", key, "-m", file};
        args.insert(args.end(), c.minisignArgs.begin(), c.minisignArgs.end());
        const RunResult signedFile = Minisign(args);
        ASSERT_EQ(signedFile.exitCode, 0) << c.what << signedFile.err;
        EXPECT_EQ(Minisign({"-V", "-p", pub, "-m", file}).exitCode, 0) << c.what;
        EXPECT_EQ(LibraryCheck(pub, file), c.expected) << c.what;
        EXPECT_EQ(Zrpatch({"verify", "--pub", pub, file}).exitCode,
                  c.expected == signing::Check::Ok ? 0 : 1)
            << c.what;
    }
}

TEST(ZrpatchSign, CommandLineAndFailures) {
    const TempDir dir;
    ASSERT_EQ(Zrpatch({"keygen", "-o", dir.Sub("k")}).exitCode, 0);
    const std::string file = dir.Write("f.dat", "data");
    const std::string key = dir.Sub("k.key");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* errPart;
    } cases[] = {
        {{"keygen"}, 2, "missing -o"},
        {{"keygen", "-o", dir.Sub("k")}, 1, "already exists"},
        {{"sign", file}, 2, "missing --key"},
        {{"sign", "--key", key}, 2, "at least one file"},
        {{"sign", "--key", key, "--expires", "0", file}, 2, "--expires"},
        {{"sign", "--key", key, "--expires", "7d", file}, 2, "--expires"},
        {{"sign", "--key", dir.Sub("k.pub"), file}, 1, "not a minisign secret key"},
        {{"sign", "--key", dir.Sub("none.key"), file}, 1, "cannot open"},
        {{"sign", "--key", key, dir.Sub("none.dat")}, 1, "cannot read"},
        {{"verify", "--pub", dir.Sub("k.pub"), file}, 1, "f.dat.minisig"},
        {{"verify", "--pub", dir.Sub("k.pub"), file, file}, 2, "exactly one file"},
        {{"verify", "--pub", key, file}, 1, "not a minisign public key"},
    };
    for (const auto& c : cases) {
        const RunResult r = Zrpatch(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << c.args.back() << r.err;
        EXPECT_NE(r.err.find(c.errPart), std::string::npos) << r.err;
    }
    for (const char* command : {"keygen", "sign", "verify"}) {
        const RunResult help = Zrpatch({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: zrpatch ") + command, 0), 0u) << help.out;
    }
}

}  // namespace
