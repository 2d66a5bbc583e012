#include "korvel/app/command_line.h"

#include <cstdio>

#include "korvel/res/strings.h"

std::string JoinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    return line;
}

CommandLineStatus ParseCommandLine(const std::string& commandLine, LaunchArguments& out) {
    if (commandLine.empty())
        return CommandLineStatus::Empty;
    const std::size_t space = commandLine.find(' ');
    if (space == std::string::npos)
        return CommandLineStatus::NoSpace;

    const std::string word = commandLine.substr(0, space);
    unsigned int value = 0;
    if (std::sscanf(word.c_str(), "%x", &value) != 1)
        return CommandLineStatus::BadValue;

    out.value = value;
    out.expansionMode = (value == 0);
    out.gameDirectory = commandLine.substr(space + 1);
    return CommandLineStatus::Ok;
}

std::string MakeGameDir(const std::string& gameDirectory) {
    return gameDirectory + "/";
}

std::string MakeDownloadDir(const std::string& gameDirectory) {
    // Always exactly one separator: a directory like "/game" must give
    // "/game/download", inside the game folder.
    std::string dir = gameDirectory;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir + res::LoadString(res::IDS_DOWNLOAD_DIR);
}
