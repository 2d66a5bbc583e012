#include "tools/zrpatch/torrent_maker.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <sstream>
#include <vector>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/torrent_info.hpp>

#include "platform/codepage.h"

namespace zrpatch {

namespace {

bool Finish(lt::create_torrent& torrent, const std::string& root, const std::string& what,
            MadeTorrent& made, std::string& error) {
    torrent.set_creator("zrpatch");
    lt::error_code ec;
    lt::set_piece_hashes(torrent, root, ec);
    if (ec) {
        error = "cannot hash " + what + ": " + ec.message();
        return false;
    }
    std::vector<char> document;
    lt::bencode(std::back_inserter(document), torrent.generate());

    const lt::torrent_info info(lt::span<const char>(document), lt::from_span);
    std::ostringstream hash;
    hash << info.info_hashes().v1;
    made.document.assign(document.begin(), document.end());
    made.infoHash = hash.str();
    made.pieces = info.num_pieces();
    made.pieceLength = info.piece_length();
    return true;
}

// The engine refuses a seed with a name it could not fetch from a web seed
// or would not write where it is meant to go: names that are not UTF-8, and
// names holding a backslash (a separator on other systems).
bool NamesTheEngineTakes(const lt::file_storage& files, std::string& error) {
    for (const lt::file_index_t i : files.file_range()) {
        if (files.pad_file_at(i))
            continue;
        const std::string path = files.file_path(i);
        if (!platform::IsUtf8(path)) {
            error = platform::DisplayText(path) + ": the name is not UTF-8; rename it";
            return false;
        }
        if (path.find('\\') != std::string::npos) {
            error = path + ": the name holds a backslash; rename it";
            return false;
        }
    }
    return true;
}

}  // namespace

bool MakeSeed(const SeedRequest& request, MadeTorrent& made, std::string& error) {
    std::string folder = request.folder;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = request.folder + " is not a folder";
        return false;
    }
    const std::size_t slash = folder.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : folder.substr(0, slash);
    try {
        lt::file_storage files;
        lt::add_files(files, folder, [](const std::string& path) {
            const std::size_t s = path.rfind('/');
            return path.substr(s == std::string::npos ? 0 : s + 1) != ".ferrel";
        });
        if (files.num_files() == 0) {
            error = request.folder + " holds no file";
            return false;
        }
        if (!NamesTheEngineTakes(files, error))
            return false;
        lt::create_torrent torrent(files, 0, lt::create_torrent::v1_only);
        if (!request.tracker.empty())
            torrent.add_tracker(request.tracker);
        std::string webSeed = request.webSeed;
        if (webSeed.empty() || webSeed.back() != '/')
            webSeed += '/';
        torrent.add_url_seed(webSeed);
        return Finish(torrent, parent, request.folder, made, error);
    } catch (const std::exception& e) {
        error = "cannot make the seed of " + request.folder + ": " + e.what();
        return false;
    }
}

bool MakeTorrent(const TorrentRequest& request, MadeTorrent& made, std::string& error) {
    struct stat st;
    if (::stat(request.file.c_str(), &st) != 0) {
        error = "cannot read " + request.file + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = request.file + " is not a file";
        return false;
    }
    if (st.st_size == 0) {
        error = request.file + " is empty";
        return false;
    }
    const std::size_t slash = request.file.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : request.file.substr(0, slash);
    const std::string name =
        slash == std::string::npos ? request.file : request.file.substr(slash + 1);

    try {
        lt::file_storage files;
        files.add_file(name, st.st_size);
        // Version 1 only: peers of the 1.x protocol (aria2c among them) ignore
        // version 2 hashes, which would only make every check slower.
        lt::create_torrent torrent(files, 0, lt::create_torrent::v1_only);
        torrent.add_tracker(request.tracker);
        if (!request.webSeed.empty())
            torrent.add_url_seed(request.webSeed);
        return Finish(torrent, folder, request.file, made, error);
    } catch (const std::exception& e) {
        error = "cannot make the torrent of " + request.file + ": " + e.what();
        return false;
    }
}

}  // namespace zrpatch
