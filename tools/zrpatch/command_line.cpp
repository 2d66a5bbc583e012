#include "tools/zrpatch/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "korvel/update/settings.h"

namespace zrpatch::cli {

void Error(const std::string& text) {
    std::fprintf(stderr, "zrpatch: error: %s\n", text.c_str());
}
void Warning(const std::string& text) {
    std::fprintf(stderr, "zrpatch: warning: %s\n", text.c_str());
}

int Usage(const std::string& text) {
    Error(text);
    std::fprintf(stderr, "(see 'zrpatch --help')\n");
    return kExitUsage;
}

int StderrMessageBoxes::Show(const platform::MessageBoxSpec& box) {
    Error(box.text);
    return platform::DefaultResult(box);
}

// Parses argv[first..]; "--name value", "--name=value" and "-o value".
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& known, Args& args,
               std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            args.positional.push_back(word);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (const std::size_t eq = word.find('='); eq != std::string::npos) {
            value = word.substr(eq + 1);
            word.resize(eq);
            hasValue = true;
        }
        bool isKnown = false;
        for (const auto& k : known)
            isKnown = isKnown || k == word;
        if (!isKnown) {
            error = "unknown option " + word;
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option " + word + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (args.options.count(word)) {
            error = "option " + word + " given twice";
            return false;
        }
        args.options[word] = value;
    }
    return true;
}

bool Require(const Args& args, const std::vector<std::string>& names, std::string& error) {
    for (const auto& n : names) {
        if (!args.options.count(n) || args.options.at(n).empty()) {
            error = "missing " + n;
            return false;
        }
    }
    return true;
}

// Strict "X.Y.Z": decimal numbers that fit the version number's fields, not
// all zero.
bool ParseVersion(const std::string& text, std::uint32_t& version, std::string& canonical) {
    unsigned long parts[3] = {0, 0, 0};
    const unsigned long limits[3] = {255, 255, 65535};
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 6) {
            parts[i] = parts[i] * 10 + static_cast<unsigned long>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || parts[i] > limits[i])
            return false;
    }
    if (pos != text.size())
        return false;
    version = PackVersion(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                          static_cast<int>(parts[2]));
    canonical =
        std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
    return version != 0;
}

std::string VersionText(std::uint32_t v) {
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
           std::to_string(v & 0xFFFF);
}

void SplitPath(const std::string& path, std::string& dir, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error) {
    // A target that exists and is no regular file (/dev/null, a pipe, a
    // terminal) is written to as it is: renaming over it would replace a
    // device with a plain file.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::ofstream out(path, std::ios::binary);
        if (!out.write(data.data(), static_cast<std::streamsize>(data.size())) || !out.flush()) {
            error = "cannot write " + path;
            return false;
        }
        return true;
    }
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(data.data(), static_cast<std::streamsize>(data.size())) || !out.flush()) {
            error = "cannot write " + temp;
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace zrpatch::cli
