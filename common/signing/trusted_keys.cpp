#include "common/signing/trusted_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/signing/base64.h"

namespace signing {

namespace {

// A keys file holds a handful of lines; anything far larger is not one.
constexpr off_t kMaxKeysFileSize = 1 << 20;
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;

std::string_view TrimBlanks(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

TrustedKeys Unsafe(std::string problem) {
    TrustedKeys result;
    result.state = KeysState::Unsafe;
    result.problem = std::move(problem);
    return result;
}

}  // namespace

const char* DefaultTrustedKeysPath() {
    return ZORNIA_TRUSTED_KEYS_FILE;
}

bool ParsePublicKeyLine(std::string_view base64Line, PublicKey& out) {
    unsigned char raw[kPublicKeyBytes];
    if (!DecodeBase64Exact(TrimBlanks(base64Line), raw, sizeof raw)) {
        return false;
    }
    if (raw[0] != 'E' || raw[1] != 'd') {
        return false;
    }
    std::copy(raw + 2, raw + 10, out.keyId.begin());
    std::copy(raw + 10, raw + kPublicKeyBytes, out.key.begin());
    return true;
}

bool ParseTrustedKeysText(std::string_view text, std::vector<PublicKey>& keys,
                          std::string& problem) {
    keys.clear();
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        const std::string_view line = TrimBlanks(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#' || line.starts_with("untrusted comment:")) {
            continue;
        }
        PublicKey key{};
        // A line that is not a key may be a damaged or altered key: refuse
        // the whole file rather than run with fewer keys than intended.
        if (!ParsePublicKeyLine(line, key)) {
            keys.clear();
            problem = "line " + std::to_string(lineNumber) + " is not a minisign public key";
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

TrustedKeys LoadTrustedKeys(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return {};
        }
        return Unsafe("cannot open " + path + ": " + std::strerror(errno));
    }
    // Everything below looks at the opened file itself, so the file cannot be
    // swapped between the checks and the read.
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        return Unsafe("cannot stat " + path + ": " + std::strerror(e));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return Unsafe(path + " is not a regular file");
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        close(fd);
        return Unsafe(path + " belongs to neither root nor the running user");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        return Unsafe(path + " is writable by group or others");
    }
    if (st.st_size > kMaxKeysFileSize) {
        close(fd);
        return Unsafe(path + " is too large for a keys file");
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int e = errno;
            close(fd);
            return Unsafe("cannot read " + path + ": " + std::strerror(e));
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kMaxKeysFileSize)) {
            close(fd);
            return Unsafe(path + " is too large for a keys file");
        }
    }
    close(fd);

    TrustedKeys result;
    std::string problem;
    if (!ParseTrustedKeysText(text, result.keys, problem)) {
        return Unsafe(path + ": " + problem);
    }
    if (!result.keys.empty()) {
        result.state = KeysState::Loaded;
    }
    return result;
}

}  // namespace signing
