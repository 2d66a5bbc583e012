// zrpatch: the publisher's patch tool. Makes patch files from two client
// folders, applies them with the updater's own code, shows what is inside
// them, prints their update-list lines, makes their torrents and signs
// what is published.
//
// Exit codes: 0 done, 1 the operation failed, 2 wrong command line.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "korvel/update/md5.h"
#include "korvel/update/patch_body.h"
#include "korvel/update/patch_file.h"
#include "korvel/update/settings.h"
#include "korvel/update/update_list.h"
#include "platform/message_box.h"
#include "tools/zrpatch/command_line.h"
#include "tools/zrpatch/patch_maker.h"
#include "tools/zrpatch/patch_writer.h"
#include "tools/zrpatch/sign_commands.h"
#include "tools/zrpatch/torrent_maker.h"

namespace {

using namespace zrpatch::cli;

const char* const kMainHelp =
    "usage: zrpatch COMMAND [OPTIONS]\n"
    "\n"
    "Publisher's tool for the updater's patch files.\n"
    "\n"
    "commands:\n"
    "  make    compare two client folders and write one patch file\n"
    "  apply   apply a patch file to a client folder, exactly as the updater does\n"
    "  info    show a patch file's header and sections\n"
    "  entry   print the update-list line for a patch file\n"
    "  torrent make the torrent for publishing a patch file over BitTorrent\n"
    "  seed    make the repair engine's seed file of a client folder\n"
    "  keygen  make a publisher key pair (minisign's formats)\n"
    "  sign    sign published files (FILE.minisig, minisign's format)\n"
    "  verify  check a file's signature as the players' programs do\n"
    "\n"
    "'zrpatch COMMAND --help' describes each command.\n"
    "Exit codes: 0 done, 1 the operation failed, 2 wrong command line.\n"
    "Errors go to standard error as 'zrpatch: error: ...', warnings as\n"
    "'zrpatch: warning: ...'.\n";

const char* const kMakeHelp =
    "usage: zrpatch make --from OLD --to NEW --version X.Y.Z [--codec lzo|bzip2] -o FILE\n"
    "\n"
    "Compares the client folders OLD and NEW and writes the patch file FILE that\n"
    "turns OLD into NEW: a MODI section with the changed byte runs and the final\n"
    "size for each changed file, an ADDF section with the whole content for each\n"
    "new file (and for a changed file when that is smaller). The body is packed\n"
    "with LZO1X-999 (--codec lzo, the default) or bzip2 level 9.\n"
    "\n"
    "A patch cannot delete files: files of OLD missing in NEW are listed as\n"
    "warnings, as are empty folders and symbolic links of NEW. Each section is\n"
    "printed on standard output as 'MODI NAME' or 'ADDF NAME', then a line\n"
    "'written FILE unpacked N packed M'.\n";

const char* const kApplyHelp =
    "usage: zrpatch apply FILE --game DIR --version X.Y.Z\n"
    "\n"
    "Applies the patch file FILE to the client folder DIR with the updater's own\n"
    "code: the header's version must be X.Y.Z, sections are applied in order and\n"
    "those applied before a failure stay applied. The updater's message for a\n"
    "failure is printed on standard error.\n";

const char* const kInfoHelp =
    "usage: zrpatch info FILE [--body OUT]\n"
    "\n"
    "Unpacks FILE and prints, one tab-separated item per line: magic, codec,\n"
    "version, packed and unpacked size, then 'section TAG NAME ...' for every\n"
    "section (final size, data size and run count for MODI; data size for ADDF)\n"
    "and 'sections N' at the end. A malformed file is reported as an error.\n"
    "--body OUT also writes the unpacked body to the file OUT.\n";

const char* const kEntryHelp =
    "usage: zrpatch entry FILE --version X.Y.Z --bt-url URL --http-url URL --method bt|http\n"
    "\n"
    "Checks that FILE is a sound patch file of version X.Y.Z and prints its line\n"
    "for the update list: version, BitTorrent address, HTTP address, MD5 digest,\n"
    "size in bytes and download method, separated by blanks. The BitTorrent\n"
    "address also names the file on the player's disk (the text after its last\n"
    "'/'); the torrent is expected at that address followed by '.torrent'.\n";

const char* const kTorrentHelp =
    "usage: zrpatch torrent FILE --tracker URL [--web-seed URL] -o FILE.torrent\n"
    "\n"
    "Writes a single-file torrent of FILE (BitTorrent version 1 only, piece size\n"
    "chosen from the file's size) that announces to the tracker URL and, with\n"
    "--web-seed, names URL as a web seed: the address of the same file over HTTP\n"
    "(a server with range requests). The torrent names the file by its last path\n"
    "component. Publish it at the file's BitTorrent address followed by\n"
    "'.torrent' (see 'zrpatch entry'). Prints 'written FILE.torrent info-hash\n"
    "HASH pieces N piece-length L'; a tracker with a whitelist needs HASH.\n";

const char* const kSeedHelp =
    "usage: zrpatch seed CLIENTDIR --web-seed URL [--tracker URL] -o FILE\n"
    "\n"
    "Writes the repair engine's seed file FILE: a torrent (BitTorrent version 1\n"
    "only) of every file below CLIENTDIR, named by CLIENTDIR's last component,\n"
    "and FILE.md5 with its MD5 digest. URL is the address of CLIENTDIR's parent\n"
    "over HTTP (a server with range requests); the engine fetches URL/NAME/PATH\n"
    "for each file. Publish FILE and FILE.md5 at the address the engine is\n"
    "given with HttpUrl, beside the client folder. Prints 'written FILE md5\n"
    "DIGEST info-hash HASH pieces N piece-length L'.\n";

// Loads and unpacks a patch file, reporting failures as the updater words them.
bool Load(const std::string& file, const std::uint32_t* version, LoadedPatch& patch) {
    std::string dir, name, error;
    SplitPath(file, dir, name);
    if (LoadPatchFile(dir, name, version, patch, error))
        return true;
    Error(error.empty() ? file + ": file is shorter than its header says" : error);
    return false;
}

// Walks every section like the updater would before touching a file; false
// (with the reason reported) where the updater would refuse the section.
bool WalkSections(const std::string& name, std::string_view body, bool print, std::size_t& count) {
    PatchBodyReader reader(body);
    count = 0;
    for (;;) {
        PatchSection s;
        const BodyStep step = reader.Next(s);
        if (step == BodyStep::End) {
            if (reader.offset() != body.size())
                Warning(std::to_string(body.size() - reader.offset()) +
                        " bytes after the end tag are ignored");
            return true;
        }
        std::size_t runs = 0;
        if (step == BodyStep::Malformed || !IsPlainRelativeName(s.name) ||
            (s.tag == kSectionModify && !CheckModifyRuns(s.data, &runs))) {
            Error(name + "含有不合法的数据节! (section " + std::to_string(count + 1) +
                  " at offset " +
                  std::to_string(step == BodyStep::Malformed ? reader.offset() : s.offset) + ")");
            return false;
        }
        ++count;
        if (!print)
            continue;
        const std::string sectionName(s.name);
        if (s.tag == kSectionModify)
            std::printf("section\tMODI\t%s\tfinal=%u\tdata=%zu\truns=%zu\n", sectionName.c_str(),
                        s.finalSize, s.data.size(), runs);
        else
            std::printf("section\tADDF\t%s\tdata=%zu\n", sectionName.c_str(), s.data.size());
    }
}

int CmdMake(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--from", "--to", "--version", "--codec", "-o", "--output"},
                   args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kMakeHelp, stdout);
        return kExitOk;
    }
    if (args.options.count("--output") && !args.options.count("-o"))
        args.options["-o"] = args.options["--output"];
    if (!args.positional.empty())
        return Usage("unexpected argument " + args.positional[0]);
    if (!Require(args, {"--from", "--to", "--version", "-o"}, error))
        return Usage(error);
    std::uint32_t version = 0;
    std::string versionText;
    if (!ParseVersion(args.options["--version"], version, versionText))
        return Usage("version must be X.Y.Z (at most 255.255.65535, not 0.0.0)");
    zrpatch::Codec codec = zrpatch::Codec::Lzo;
    if (args.options.count("--codec") && !zrpatch::ParseCodec(args.options["--codec"], codec))
        return Usage("codec must be lzo or bzip2");

    zrpatch::BodyWriter writer;
    zrpatch::MakeReport report;
    if (!zrpatch::MakePatchBody(args.options["--from"], args.options["--to"], writer, report,
                                error)) {
        Error(error);
        return kExitFailed;
    }
    for (const auto& w : report.warnings)
        Warning(w);
    for (const auto& n : report.modified)
        std::printf("MODI %s\n", n.c_str());
    for (const auto& n : report.added)
        std::printf("ADDF %s\n", n.c_str());

    const std::string body = writer.Finish();
    std::string file;
    if (!zrpatch::BuildPatchFile(codec, version, body, file, error) ||
        !WriteFileAtomically(args.options["-o"], file, error)) {
        Error(error);
        return kExitFailed;
    }
    std::printf("written %s unpacked %zu packed %zu\n", args.options["-o"].c_str(), body.size(),
                file.size() - kPatchHeaderSize);
    return kExitOk;
}

int CmdApply(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--game", "--version"}, args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kApplyHelp, stdout);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return Usage("apply takes exactly one patch file");
    if (!Require(args, {"--game", "--version"}, error))
        return Usage(error);
    std::uint32_t version = 0;
    std::string versionText;
    if (!ParseVersion(args.options["--version"], version, versionText))
        return Usage("version must be X.Y.Z (at most 255.255.65535, not 0.0.0)");

    std::string dir, name;
    SplitPath(args.positional[0], dir, name);
    std::string gameDir = args.options["--game"];
    if (gameDir.back() != '/')
        gameDir += '/';

    StderrMessageBoxes boxes;
    platform::SetMessageBoxes(&boxes);
    const bool applied = ApplyPatchFile(name, version, dir, gameDir);
    platform::SetMessageBoxes(nullptr);
    if (!applied)
        return kExitFailed;
    std::printf("applied %s to %s\n", args.positional[0].c_str(), gameDir.c_str());
    return kExitOk;
}

int CmdInfo(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--body"}, args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kInfoHelp, stdout);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return Usage("info takes exactly one patch file");
    const std::string& file = args.positional[0];
    LoadedPatch patch;
    if (!Load(file, nullptr, patch))
        return kExitFailed;

    const bool lzo = patch.header.magic == kPatchMagicLzo;
    std::printf("file\t%s\n", file.c_str());
    std::printf("magic\t%s\n", lzo ? "ZRUD" : "ZRBZ");
    std::printf("codec\t%s\n", lzo ? "lzo" : "bzip2");
    std::printf("version\t%s\n", VersionText(patch.header.version).c_str());
    std::printf("packed\t%zu\n", patch.packedSize);
    std::printf("unpacked\t%u\n", patch.header.unpackedSize);
    std::size_t count = 0;
    std::string dir, name;
    SplitPath(file, dir, name);
    if (!WalkSections(name, patch.Body(), true, count))
        return kExitFailed;
    std::printf("sections\t%zu\n", count);
    if (args.options.count("--body") &&
        !WriteFileAtomically(args.options["--body"], std::string(patch.Body()), error)) {
        Error(error);
        return kExitFailed;
    }
    return kExitOk;
}

bool IsListWord(const std::string& s) {
    if (s.empty())
        return false;
    for (const char c : s)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return false;
    return true;
}

int CmdEntry(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--version", "--bt-url", "--http-url", "--method"}, args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kEntryHelp, stdout);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return Usage("entry takes exactly one patch file");
    if (!Require(args, {"--version", "--bt-url", "--http-url", "--method"}, error))
        return Usage(error);
    std::uint32_t version = 0;
    std::string versionText;
    if (!ParseVersion(args.options["--version"], version, versionText))
        return Usage("version must be X.Y.Z (at most 255.255.65535, not 0.0.0)");
    const std::string& btUrl = args.options["--bt-url"];
    const std::string& httpUrl = args.options["--http-url"];
    const std::string& method = args.options["--method"];
    if (method != "bt" && method != "http")
        return Usage("method must be bt or http");
    if (!IsListWord(btUrl) || !IsListWord(httpUrl))
        return Usage("addresses must not contain blanks or line ends");
    if (PatchFileName(btUrl).empty())
        return Usage("the BitTorrent address must end in a file name after its last '/'");

    const std::string& file = args.positional[0];
    LoadedPatch patch;
    if (!Load(file, &version, patch))
        return kExitFailed;
    std::size_t count = 0;
    std::string dir, name;
    SplitPath(file, dir, name);
    if (!WalkSections(name, patch.Body(), false, count))
        return kExitFailed;

    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        Error("cannot read " + file);
        return kExitFailed;
    }
    std::printf("%s %s %s %s %zu %s\n", versionText.c_str(), btUrl.c_str(), httpUrl.c_str(),
                Md5Hex(content.data(), content.size()).c_str(), content.size(), method.c_str());
    return kExitOk;
}

bool HasScheme(const std::string& url, std::initializer_list<const char*> schemes) {
    for (const char* scheme : schemes)
        if (url.rfind(std::string(scheme) + "://", 0) == 0 && url.size() > std::strlen(scheme) + 3)
            return IsListWord(url);
    return false;
}

int CmdTorrent(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--tracker", "--web-seed", "-o", "--output"}, args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kTorrentHelp, stdout);
        return kExitOk;
    }
    if (args.options.count("--output") && !args.options.count("-o"))
        args.options["-o"] = args.options["--output"];
    if (args.positional.size() != 1)
        return Usage("torrent takes exactly one patch file");
    if (!Require(args, {"--tracker", "-o"}, error))
        return Usage(error);
    zrpatch::TorrentRequest request;
    request.file = args.positional[0];
    request.tracker = args.options["--tracker"];
    request.webSeed = args.options.count("--web-seed") ? args.options["--web-seed"] : "";
    if (!HasScheme(request.tracker, {"http", "https", "udp"}))
        return Usage("the tracker must be an http://, https:// or udp:// address without blanks");
    if (args.options.count("--web-seed") && !HasScheme(request.webSeed, {"http", "https"}))
        return Usage("the web seed must be an http:// or https:// address without blanks");

    zrpatch::MadeTorrent made;
    if (!zrpatch::MakeTorrent(request, made, error) ||
        !WriteFileAtomically(args.options["-o"], made.document, error)) {
        Error(error);
        return kExitFailed;
    }
    std::printf("written %s info-hash %s pieces %d piece-length %d\n", args.options["-o"].c_str(),
                made.infoHash.c_str(), made.pieces, made.pieceLength);
    return kExitOk;
}

int CmdSeed(int argc, char** argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, {"--tracker", "--web-seed", "-o", "--output"}, args, error))
        return Usage(error);
    if (args.help) {
        std::fputs(kSeedHelp, stdout);
        return kExitOk;
    }
    if (args.options.count("--output") && !args.options.count("-o"))
        args.options["-o"] = args.options["--output"];
    if (args.positional.size() != 1)
        return Usage("seed takes exactly one client folder");
    if (!Require(args, {"--web-seed", "-o"}, error))
        return Usage(error);
    zrpatch::SeedRequest request;
    request.folder = args.positional[0];
    request.webSeed = args.options["--web-seed"];
    request.tracker = args.options.count("--tracker") ? args.options["--tracker"] : "";
    if (!HasScheme(request.webSeed, {"http", "https"}))
        return Usage("the web seed must be an http:// or https:// address without blanks");
    if (!request.tracker.empty() && !HasScheme(request.tracker, {"http", "https", "udp"}))
        return Usage("the tracker must be an http://, https:// or udp:// address without blanks");

    zrpatch::MadeTorrent made;
    const std::string& out = args.options["-o"];
    if (!zrpatch::MakeSeed(request, made, error) ||
        !WriteFileAtomically(out, made.document, error) ||
        !WriteFileAtomically(out + ".md5",
                             Md5Hex(made.document.data(), made.document.size()) + "\n", error)) {
        Error(error);
        return kExitFailed;
    }
    std::printf("written %s md5 %s info-hash %s pieces %d piece-length %d\n", out.c_str(),
                Md5Hex(made.document.data(), made.document.size()).c_str(), made.infoHash.c_str(),
                made.pieces, made.pieceLength);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kMainHelp, stdout);
        return kExitOk;
    }
    if (command == "make")
        return CmdMake(argc, argv);
    if (command == "apply")
        return CmdApply(argc, argv);
    if (command == "info")
        return CmdInfo(argc, argv);
    if (command == "entry")
        return CmdEntry(argc, argv);
    if (command == "torrent")
        return CmdTorrent(argc, argv);
    if (command == "seed")
        return CmdSeed(argc, argv);
    if (command == "keygen")
        return CmdKeygen(argc, argv);
    if (command == "sign")
        return CmdSign(argc, argv);
    if (command == "verify")
        return CmdVerify(argc, argv);
    return Usage("unknown command " + command);
}
