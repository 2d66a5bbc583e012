#include "tools/zrpatch/sign_commands.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/signing/minisig.h"
#include "common/signing/minisig_format.h"
#include "common/signing/trusted_keys.h"
#include "tools/zrpatch/command_line.h"

namespace zrpatch::cli {

namespace {

const char* const kKeygenHelp =
    "usage: zrpatch keygen -o NAME\n"
    "\n"
    "Makes a publisher key pair in minisign's formats: NAME.key, the secret key\n"
    "(not encrypted, readable by its owner only), and NAME.pub, the public key.\n"
    "Existing files are never overwritten. The public key's base64 line (or the\n"
    "whole NAME.pub) goes into the trusted keys file of the players' programs.\n"
    "Prints 'written NAME.key NAME.pub key-id ID'.\n";

const char* const kSignHelp =
    "usage: zrpatch sign --key NAME.key [--expires DAYS] FILE...\n"
    "\n"
    "Signs each FILE with the secret key NAME.key (from 'zrpatch keygen' or\n"
    "'minisign -G -W') and writes FILE.minisig in minisign's format: a prehashed\n"
    "signature (BLAKE2b-512 of the file) and the trusted comment\n"
    "'timestamp:NOW<TAB>file:NAME<TAB>hashed', NAME being FILE's last path\n"
    "component; with --expires, 'expires:T' (NOW plus DAYS days, 1 to 36600)\n"
    "comes before 'hashed'. The programs refuse a signature whose file name\n"
    "differs from the file they fetched, and one past its expiry. Publish\n"
    "FILE.minisig at FILE's address followed by '.minisig'. Prints 'signed FILE'\n"
    "for each file.\n";

const char* const kVerifyHelp =
    "usage: zrpatch verify --pub NAME.pub FILE\n"
    "\n"
    "Checks FILE.minisig against FILE as the players' programs do: the key id\n"
    "must be the one of NAME.pub (a public key file or a trusted keys file with\n"
    "several keys), both signatures must be right, the trusted comment must\n"
    "carry 'file:' with FILE's last path component and 'timestamp:', and must\n"
    "not be past its 'expires:'. Prints 'verified FILE' and the trusted comment;\n"
    "a refused signature is an error with the reason.\n";

const char* Reason(signing::Check check) {
    switch (check) {
        case signing::Check::Ok:
            return "valid";
        case signing::Check::KeysUnsafe:
            return "the keys file is not safe";
        case signing::Check::Missing:
            return "no signature";
        case signing::Check::Malformed:
            return "not a minisign signature";
        case signing::Check::UnknownKey:
            return "signed by another key";
        case signing::Check::BadSignature:
            return "the signature does not match";
        case signing::Check::WrongFile:
            return "the trusted comment names another file (or none)";
        case signing::Check::NoTimestamp:
            return "the trusted comment has no timestamp";
        case signing::Check::Expired:
            return "the signature has expired";
    }
    return "refused";
}

bool ReadText(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int CmdKeygen(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"-o", "--output"}, args, error)) {
        return Usage(error);
    }
    if (args.help) {
        std::fputs(kKeygenHelp, stdout);
        return kExitOk;
    }
    if (args.options.count("--output") && !args.options.count("-o")) {
        args.options["-o"] = args.options["--output"];
    }
    if (!args.positional.empty()) {
        return Usage("unexpected argument " + args.positional[0]);
    }
    if (!Require(args, {"-o"}, error)) {
        return Usage(error);
    }
    const std::string& name = args.options["-o"];
    if (!signing::GenerateKeyPair(name, error)) {
        Error(error);
        return kExitFailed;
    }
    std::string pubText;
    std::vector<signing::PublicKey> keys;
    if (!ReadText(name + ".pub", pubText) || !signing::ParseTrustedKeysText(pubText, keys, error) ||
        keys.size() != 1) {
        Error("cannot read back " + name + ".pub");
        return kExitFailed;
    }
    std::printf("written %s.key %s.pub key-id %s\n", name.c_str(), name.c_str(),
                signing::KeyIdHex(keys[0].keyId).c_str());
    return kExitOk;
}

int CmdSign(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--key", "--expires"}, args, error)) {
        return Usage(error);
    }
    if (args.help) {
        std::fputs(kSignHelp, stdout);
        return kExitOk;
    }
    if (!Require(args, {"--key"}, error)) {
        return Usage(error);
    }
    if (args.positional.empty()) {
        return Usage("sign takes at least one file");
    }
    std::optional<int> days;
    if (args.options.count("--expires")) {
        const std::string& text = args.options["--expires"];
        if (text.empty() || text.size() > 5 ||
            text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1 ||
            std::stoi(text) > 36600) {
            return Usage("--expires takes a number of days from 1 to 36600");
        }
        days = std::stoi(text);
    }
    for (const std::string& file : args.positional) {
        if (!signing::SignFile(args.options["--key"], file, days, error)) {
            Error(error);
            return kExitFailed;
        }
        std::printf("signed %s\n", file.c_str());
    }
    return kExitOk;
}

int CmdVerify(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--pub"}, args, error)) {
        return Usage(error);
    }
    if (args.help) {
        std::fputs(kVerifyHelp, stdout);
        return kExitOk;
    }
    if (!Require(args, {"--pub"}, error)) {
        return Usage(error);
    }
    if (args.positional.size() != 1) {
        return Usage("verify takes exactly one file");
    }
    const std::string& pubPath = args.options["--pub"];
    const std::string& file = args.positional[0];
    std::string pubText;
    signing::TrustedKeys keys;
    if (!ReadText(pubPath, pubText)) {
        Error("cannot read " + pubPath);
        return kExitFailed;
    }
    if (!signing::ParseTrustedKeysText(pubText, keys.keys, error) || keys.keys.empty()) {
        Error(pubPath + ": " + (error.empty() ? "no public key in it" : error));
        return kExitFailed;
    }
    keys.state = signing::KeysState::Loaded;
    std::string sigText;
    if (!ReadText(file + ".minisig", sigText)) {
        Error("cannot read " + file + ".minisig");
        return kExitFailed;
    }
    const signing::Verdict verdict = signing::VerifyFile(
        keys, file, sigText, signing::ExpectedFileName(file), std::time(nullptr));
    if (verdict.result != signing::Check::Ok) {
        Error(file + ": " + Reason(verdict.result));
        return kExitFailed;
    }
    std::printf("verified %s\ntrusted comment: %s\n", file.c_str(), verdict.trustedComment.c_str());
    return kExitOk;
}

}  // namespace zrpatch::cli
