#include "Ferrel/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

namespace ferrel {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::string* First(const ArgumentMap& keys, const char* key) {
    const auto it = keys.find(key);
    if (it == keys.end() || it->second.empty())
        return nullptr;
    return &it->second.front();
}

bool Has(const ArgumentMap& keys, const char* key) {
    return keys.count(key) != 0;
}

// A whole decimal number (optional sign); nothing for any other text.
std::optional<long long> Number(const ArgumentMap& keys, const char* key) {
    const std::string* text = First(keys, key);
    if (text == nullptr)
        return std::nullopt;
    const char* begin = text->data();
    const char* end = begin + text->size();
    if (begin != end && *begin == '+')
        ++begin;
    long long value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || begin == end)
        return std::nullopt;
    return value;
}

void ReadInt(const ArgumentMap& keys, const char* key, int& into, long long low, long long high) {
    if (const auto v = Number(keys, key))
        into = static_cast<int>(std::clamp(*v, low, high));
}

constexpr long long kIntMin = -2147483647LL - 1;
constexpr long long kIntMax = 2147483647LL;

void ReadPort(const ArgumentMap& keys, const char* key, int& into) {
    if (const auto v = Number(keys, key); v && *v >= 1 && *v <= 65535)
        into = static_cast<int>(*v);
}

// KB/s clamped to [low, 1048576], as bytes per second.
void ReadLimit(const ArgumentMap& keys, const char* key, long long low, std::int64_t& into) {
    if (const auto v = Number(keys, key))
        into = std::clamp(*v, low, 1048576LL) * 1024;
}

void ReadText(const ArgumentMap& keys, const char* key, std::string& into) {
    if (const std::string* v = First(keys, key))
        into = *v;
}

}  // namespace

ArgumentMap GroupArguments(const std::vector<std::string>& args) {
    ArgumentMap keys;
    std::vector<std::string>* current = nullptr;
    for (const std::string& arg : args) {
        if (!arg.empty() && arg[0] == '-') {
            current = arg.size() >= 2 ? &keys[Lower(arg.substr(1))] : nullptr;
            continue;
        }
        if (current != nullptr)
            current->push_back(arg);
    }
    return keys;
}

EngineArguments ReadArguments(const ArgumentMap& keys) {
    EngineArguments a;
    if (const std::string* dir = First(keys, "dir")) {
        a.dir = *dir;
        // Only "/" separates; a trailing backslash is part of the name.
        if (a.dir.empty() || a.dir.back() != '/')
            a.dir += '/';
    }
    if (const std::string* postfix = First(keys, "postfix")) {
        a.postfix = *postfix;
        for (char& c : a.postfix)
            if (std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos)
                c = '-';
    }
    ReadPort(keys, "localtcp", a.localTcp);
    ReadPort(keys, "localudp", a.localUdp);
    ReadLimit(keys, "uploadlimit", 3, a.uploadLimit);
    ReadLimit(keys, "downloadlimit", 10, a.downloadLimit);
    ReadText(keys, "upnptext", a.upnpText);
    a.notUsingUpnp = Has(keys, "notusingupnp");
    ReadInt(keys, "httpthread", a.httpThread, 0, kIntMax);
    if (const auto it = keys.find("httpurl"); it != keys.end())
        a.httpUrls = it->second;
    ReadInt(keys, "p2puploadthread", a.p2pUploadThread, kIntMin, kIntMax);
    ReadInt(keys, "p2puploadlistsize", a.p2pUploadListSize, kIntMin, kIntMax);
    ReadText(keys, "torrent", a.torrent);
    a.deleteDownloadInfo = Has(keys, "deletedownloadinfo");
    ReadInt(keys, "reportpercentinterval", a.reportPercentInterval, 1, 100);
    a.infoFolderHidden = Has(keys, "infofolderhidden");
    ReadInt(keys, "outinfolevel", a.outInfoLevel, 0, 6);
    ReadInt(keys, "loglevel", a.logLevel, kIntMin, kIntMax);
    ReadInt(keys, "maxuploadnum", a.maxUploadNum, kIntMin, kIntMax);
    ReadInt(keys, "maxdownloadnum", a.maxDownloadNum, kIntMin, kIntMax);
    ReadInt(keys, "maxoldlog", a.maxOldLog, kIntMin, kIntMax);
    ReadText(keys, "id", a.id);
    if (const std::string* mode = First(keys, "mode")) {
        a.modeGiven = true;
        const std::string m = Lower(*mode);
        a.modeValid = m == "download" || m == "update" || m == "repair";
        a.mode = m == "update"   ? EngineMode::Update
                 : m == "repair" ? EngineMode::Repair
                                 : EngineMode::Download;
    }
    ReadInt(keys, "fsys", a.fsys, kIntMin, kIntMax);
    if (const auto v = Number(keys, "showdumpdlg"))
        a.showDumpDlg = *v != 0;
    if (const auto v = Number(keys, "httpreport"))
        a.httpReport = *v != 0;
    a.generateDownloadInfo = Has(keys, "generatedownloadinfo");
    ReadPort(keys, "interactiveport", a.interactivePort);
    ReadText(keys, "listenip", a.listenIp);
    ReadInt(keys, "nosourceseconds", a.noSourceSeconds, 1, 86400);
    a.shareWebSeeds = Has(keys, "sharewebseeds");
    return a;
}

EngineArguments ReadArguments(const std::vector<std::string>& args) {
    return ReadArguments(GroupArguments(args));
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool inQuotes = false, inArgument = false;
    for (const char c : line) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inArgument = true;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inArgument)
                args.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument)
        args.push_back(current);
    return args;
}

}  // namespace ferrel
