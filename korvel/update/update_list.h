// The update list: a text of whitespace-separated words naming every patch
// the server offers, plus header groups with values for the whole update.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One patch entry of the update list.
struct PatchRecord {
    std::uint32_t version = 0;  // packed version number
    std::string url;            // address for BitTorrent and for the local name
    std::string md5;            // expected digest, 32 hexadecimal digits
    std::string httpUrl;        // address for the HTTP download
    std::string versionText;    // the version word as written
    std::string method;         // "bt" for BitTorrent, anything else HTTP
    std::string size;           // size of the patch file in bytes, decimal text
    bool damaged = false;       // set when the downloaded file fails its digest check
};

// Which patch's torrent runs again in the closing phase.
inline constexpr std::int32_t kClosingTorrentNone = 0;
inline constexpr std::int32_t kClosingTorrentFirst = 1;
inline constexpr std::int32_t kClosingTorrentRandom = 2;

// Reads the list as groups of six words. A group whose first word scans as
// "%d.%d.%d" is a patch entry, kept in records only when newer than
// installed; a group whose first word starts with "##" or "#!" is a header
// group of seven words (mode digit in its first word's third character,
// seconds, four ignored words, options); any other group is skipped. The
// outputs are reset first (records emptied, mode and seconds 0, options
// empty); a later header group overrides an earlier one.
void ParseUpdateList(std::uint32_t installed, const std::string& text,
                     std::vector<PatchRecord>& records, std::int32_t& mode, std::int32_t& seconds,
                     std::string& options);

// The index of the record whose torrent runs in the closing phase, given the
// mode, the number of records and one value of rand(); none when there are
// fewer than two records. Mode 1 picks the first record; mode 2 picks record
// randomValue % count unless that is the last one.
std::optional<std::size_t> ChooseClosingTorrent(std::int32_t mode, std::size_t count,
                                                int randomValue);

// The local file name of a patch: the text after the last "/" of its url
// (multi-byte aware); empty when the url has no "/" or ends with one.
std::string PatchFileName(const std::string& url);
