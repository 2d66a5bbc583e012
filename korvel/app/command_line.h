// The updater's command line: "HEX GAMEDIR".
#pragma once

#include <cstdint>
#include <string>

struct LaunchArguments {
    std::uint32_t value = 0;     // the first word read as a hexadecimal number
    bool expansionMode = false;  // value 0: expansion-pack mode
    std::string gameDirectory;   // everything after the first space, unchanged
};

enum class CommandLineStatus {
    Ok,
    Empty,     // nothing at all
    NoSpace,   // no space separating value and directory
    BadValue,  // the first word does not scan as a hexadecimal number
};

// The command line as the launcher wrote it: the program's arguments joined
// with single blanks.
std::string JoinArguments(int argc, const char* const* argv);

CommandLineStatus ParseCommandLine(const std::string& commandLine, LaunchArguments& out);

// GameDir: the directory followed by "/".
std::string MakeGameDir(const std::string& gameDirectory);
// DownloadDir: the directory and "download", joined by exactly one "/"
// (none added when the directory already ends in one).
std::string MakeDownloadDir(const std::string& gameDirectory);
