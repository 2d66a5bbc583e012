#include "Ferrel/seed_layout.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include <libtorrent/bdecode.hpp>

#include "platform/codepage.h"

namespace ferrel {

namespace {

std::string_view View(lt::string_view v) {
    return {v.data(), v.size()};
}

// libtorrent cleans names that are not UTF-8 before it asks a web seed for
// them, while the files would be written under the raw bytes: such a file
// could never be fetched.
bool SafeElement(std::string_view e) {
    if (e.empty() || e == "." || e == ".." || !platform::IsUtf8(e))
        return false;
    return std::none_of(e.begin(), e.end(), [](char c) {
        return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20 ||
               c == 0x7f;
    });
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The path list of one file entry, preferring the UTF-8 form as libtorrent
// does; false when an element is unsafe or not a string.
bool JoinPath(const lt::bdecode_node& list, std::string& path, std::string& error) {
    if (list.type() != lt::bdecode_node::list_t || list.list_size() == 0) {
        error = "a file without a path";
        return false;
    }
    path.clear();
    for (int i = 0; i < list.list_size(); ++i) {
        const lt::bdecode_node e = list.list_at(i);
        if (e.type() != lt::bdecode_node::string_t || !SafeElement(View(e.string_value()))) {
            error = "unsafe path element in the seed";
            return false;
        }
        if (!path.empty())
            path += '/';
        path += View(e.string_value());
    }
    return true;
}

}  // namespace

bool ReadSeedLayout(const std::string& seed, const std::string& infoFolder, SeedLayout& layout,
                    std::string& error) {
    layout.files.clear();
    lt::error_code ec;
    const lt::bdecode_node root = lt::bdecode(seed, ec);
    if (ec || root.type() != lt::bdecode_node::dict_t) {
        error = "the seed is not a torrent";
        return false;
    }
    const lt::bdecode_node info = root.dict_find_dict("info");
    if (!info) {
        error = "the seed has no info dictionary";
        return false;
    }
    const lt::bdecode_node files = info.dict_find_list("files");
    // The top name is part of every web seed address, also where the files
    // land without it.
    lt::bdecode_node name = info.dict_find_string("name.utf-8");
    if (!name)
        name = info.dict_find_string("name");
    if (!name || !SafeElement(View(name.string_value()))) {
        error = "unsafe name in the seed";
        return false;
    }
    if (!files) {
        layout.files.push_back(
            {std::string(View(name.string_value())), info.dict_find_int_value("length"), false});
    } else {
        for (int i = 0; i < files.list_size(); ++i) {
            const lt::bdecode_node f = files.list_at(i);
            if (f.type() != lt::bdecode_node::dict_t) {
                error = "malformed file entry in the seed";
                return false;
            }
            const std::string attr(f.dict_find_string_value("attr"));
            SeedFile file;
            file.size = f.dict_find_int_value("length");
            if (attr.find('l') != std::string::npos || f.dict_find("symlink path")) {
                error = "the seed holds a symbolic link";
                return false;
            }
            if (attr.find('p') != std::string::npos) {
                file.pad = true;  // never written to disk
                layout.files.push_back(file);
                continue;
            }
            lt::bdecode_node path = f.dict_find_list("path.utf-8");
            if (!path)
                path = f.dict_find_list("path");
            if (!JoinPath(path, file.path, error))
                return false;
            layout.files.push_back(file);
        }
    }
    std::set<std::string> seen;
    const std::string own = Lower(infoFolder);
    for (const SeedFile& f : layout.files) {
        if (f.pad)
            continue;
        if (f.size < 0) {
            error = "negative file size in the seed";
            return false;
        }
        if (!seen.insert(f.path).second) {
            error = "two files on one path: " + f.path;
            return false;
        }
        if (Lower(f.path.substr(0, f.path.find('/'))) == own) {
            error = "the seed writes into the engine's own folder: " + f.path;
            return false;
        }
    }
    // A file cannot also be a folder of another file ("a" beside "a/b").
    for (const std::string& path : seen) {
        const auto next = seen.lower_bound(path + "/");
        if (next != seen.end() && next->compare(0, path.size() + 1, path + "/") == 0) {
            error = "a file is also a folder in the seed: " + path;
            return false;
        }
    }
    return true;
}

bool StaysInside(const std::string& dir, const SeedLayout& layout, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = fs::canonical(dir, ec);
    if (ec) {
        error = dir + ": " + ec.message();
        return false;
    }
    const std::string prefix = root.string() + "/";
    for (const SeedFile& f : layout.files) {
        if (f.pad)
            continue;
        const fs::path where = fs::weakly_canonical(root / f.path, ec);
        if (ec || where.string().compare(0, prefix.size(), prefix) != 0) {
            error = f.path + " leads outside " + dir;
            return false;
        }
    }
    return true;
}

}  // namespace ferrel
