#include "tools/zrpatch/patch_maker.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "korvel/update/patch_body.h"

namespace fs = std::filesystem;

namespace zrpatch {

std::vector<ByteRange> ChangedRanges(std::string_view oldData, std::string_view newData) {
    std::vector<ByteRange> ranges;
    auto add = [&](std::uint64_t begin, std::uint64_t end) {
        if (!ranges.empty() && begin - ranges.back().end < kRunOverhead)
            ranges.back().end = end;
        else
            ranges.push_back({begin, end});
    };

    const std::size_t common = std::min(oldData.size(), newData.size());
    constexpr std::size_t kChunk = 4096;
    std::size_t i = 0;
    while (i < common) {
        // Skip equal stretches a chunk at a time.
        const std::size_t chunk = std::min(kChunk, common - i);
        if (std::memcmp(oldData.data() + i, newData.data() + i, chunk) == 0) {
            i += chunk;
            continue;
        }
        const std::size_t stop = i + chunk;
        while (i < stop) {
            if (oldData[i] == newData[i]) {
                ++i;
                continue;
            }
            const std::size_t begin = i;
            while (i < common && oldData[i] != newData[i])
                ++i;
            add(begin, i);
        }
    }
    if (newData.size() > common)
        add(common, newData.size());
    return ranges;
}

std::vector<Run> RunsFor(const std::vector<ByteRange>& ranges, std::string_view newData) {
    std::vector<Run> runs;
    runs.reserve(ranges.size());
    std::uint64_t pos = 0;
    for (const ByteRange& r : ranges) {
        runs.push_back(
            {static_cast<std::uint32_t>(r.begin - pos), newData.substr(r.begin, r.end - r.begin)});
        pos = r.end;
    }
    return runs;
}

std::uint64_t ModifyDataSize(const std::vector<ByteRange>& ranges) {
    std::uint64_t size = 0;
    for (const ByteRange& r : ranges)
        size += kRunOverhead + (r.end - r.begin);
    return size;
}

namespace {

enum class Kind { File, Folder, Other };

struct Entry {
    Kind kind;
};

// Every entry below dir by its relative name ("/" separated), in byte order.
bool ListTree(const std::string& dir, std::map<std::string, Entry>& entries, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "not a folder: " + dir;
        return false;
    }
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& e = *it;
        const std::string name = e.path().lexically_relative(dir).generic_string();
        std::error_code typeEc;
        const fs::file_status st = e.symlink_status(typeEc);
        Kind kind = Kind::Other;
        if (fs::is_regular_file(st))
            kind = Kind::File;
        else if (fs::is_directory(st))
            kind = Kind::Folder;
        entries[name] = {kind};
    }
    if (ec) {
        error = "cannot list " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

bool ReadWhole(const std::string& path, std::string& data, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (in) {
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0);
        if (size >= 0) {
            data.resize(static_cast<std::size_t>(size));
            if (in.read(data.data(), size) && in.peek() == std::char_traits<char>::eof())
                return true;
        }
    }
    error = "cannot read " + path;
    return false;
}

}  // namespace

bool MakePatchBody(const std::string& oldDir, const std::string& newDir, BodyWriter& body,
                   MakeReport& report, std::string& error) {
    std::map<std::string, Entry> oldEntries, newEntries;
    if (!ListTree(oldDir, oldEntries, error) || !ListTree(newDir, newEntries, error))
        return false;

    std::set<std::string> foldersWithContent;
    for (const auto& [name, entry] : newEntries) {
        for (std::size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1))
            foldersWithContent.insert(name.substr(0, slash));
    }

    for (const auto& [name, entry] : newEntries) {
        if (entry.kind == Kind::Other) {
            report.warnings.push_back("not a regular file, left out: " + name);
            continue;
        }
        if (entry.kind == Kind::Folder) {
            const auto old = oldEntries.find(name);
            if (!foldersWithContent.count(name) &&
                (old == oldEntries.end() || old->second.kind != Kind::Folder))
                report.warnings.push_back("empty folder cannot be carried: " + name);
            continue;
        }

        std::string newData;
        if (!ReadWhole(newDir + "/" + name, newData, error))
            return false;
        if (newData.size() > kMaxPatchedFileSize) {
            error = "file too large for the patch format: " + name;
            return false;
        }

        for (std::size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            const auto parent = oldEntries.find(name.substr(0, slash));
            if (parent != oldEntries.end() && parent->second.kind != Kind::Folder) {
                error = "a file became a folder, which a patch cannot express: " + parent->first;
                return false;
            }
        }
        const auto old = oldEntries.find(name);
        if (old != oldEntries.end() && old->second.kind == Kind::Folder) {
            error = "a folder became a file, which a patch cannot express: " + name;
            return false;
        }
        if (old == oldEntries.end() || old->second.kind != Kind::File) {
            body.AddAdd(name, newData);
            report.added.push_back(name);
            continue;
        }

        std::string oldData;
        if (!ReadWhole(oldDir + "/" + name, oldData, error))
            return false;
        if (oldData == newData)
            continue;
        const std::vector<ByteRange> ranges = ChangedRanges(oldData, newData);
        if (newData.size() < ModifyDataSize(ranges)) {
            body.AddAdd(name, newData);
            report.added.push_back(name);
        } else {
            body.AddModify(name, static_cast<std::uint32_t>(newData.size()),
                           RunsFor(ranges, newData));
            report.modified.push_back(name);
        }
    }

    for (const auto& [name, entry] : oldEntries) {
        if (entry.kind != Kind::File)
            continue;
        const auto now = newEntries.find(name);
        if (now == newEntries.end() || now->second.kind != Kind::File)
            report.warnings.push_back("deleted, a patch cannot remove it: " + name);
    }
    return true;
}

}  // namespace zrpatch
