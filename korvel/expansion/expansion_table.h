// The ten expansion packs: how each is recognised in the game folder, where
// its installer comes from, and which pack a game folder still lacks.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct ExpansionPack {
    const char* key;           // name of the pack in the expansion list ("EXP1" ...)
    const char* shapeFile;     // marker file in the game folder once installed
    const char* settingKey;    // update.ini key that overrides the installer address
    const char* installerUrl;  // built-in installer address
    const char* title;         // shown as the file line while the pack is handled
};

// Rows 1 to 10 in order (row n is ExpansionTable[n - 1]).
extern const std::array<ExpansionPack, 10> ExpansionTable;

// The first pack whose shape file is missing from gameDir (GameDir, with its
// trailing "/"). On a find, title and installerUrl (from the row's setting,
// the built-in address as default) receive the row's values and the result
// is the row number 1..10; with every pack present the result is 0 and they
// are left alone. shapeFilePath follows each row looked at: the found row's
// marker, or row 10's when none is missing.
std::int32_t FindMissingExpansion(const std::string& gameDir, std::string& title,
                                  std::string& installerUrl, std::string& shapeFilePath);

// The key of the row whose title is exactly title; empty when none is.
std::string ExpansionKeyForTitle(const std::string& title);

// The torrent address to fetch for a torrent address: row 10's built-in
// installer has its torrent on the fast mirror; every other address is its
// own.
std::string MirrorTorrentUrl(const std::string& url);
