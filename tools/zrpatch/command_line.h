// The command-line plumbing of zrpatch: exit codes, messages, option
// parsing, version texts and file output shared by its commands.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace zrpatch::cli {

// Exit codes: 0 done, 1 the operation failed, 2 wrong command line.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

void Error(const std::string& text);
void Warning(const std::string& text);
// Reports a wrong command line; gives kExitUsage.
int Usage(const std::string& text);

// The updater's message boxes, as error lines.
class StderrMessageBoxes : public platform::MessageBoxes {
  public:
    int Show(const platform::MessageBoxSpec& box) override;
};

// Command line of one command: options with values, and positional words.
struct Args {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;
    bool help = false;
};

// Parses argv[first..]; "--name value", "--name=value" and "-o value".
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& known, Args& args,
               std::string& error);
// Whether every named option is given with a value.
bool Require(const Args& args, const std::vector<std::string>& names, std::string& error);

// Strict "X.Y.Z": decimal numbers that fit the version number's fields, not
// all zero.
bool ParseVersion(const std::string& text, std::uint32_t& version, std::string& canonical);
std::string VersionText(std::uint32_t v);

void SplitPath(const std::string& path, std::string& dir, std::string& name);
// Writes path + ".part", then renames it over path.
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error);

}  // namespace zrpatch::cli
