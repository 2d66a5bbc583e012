// The repair tool's string table.
#pragma once

#include <map>
#include <string>

namespace vellum {

enum StringId : int {
    IDS_SEED_URL = 104,       // address of the repair seed file
    IDS_TITLE = 105,          // window title, caption of the start-up boxes
    IDS_ENGINE_SUFFIX = 106,  // engine file name part
    IDS_GAME_NAME = 109,      // engine file name part
};

using StringTable = std::map<int, std::string>;

// The table built into the program.
const StringTable& BuiltInStrings();

// Replaces the table LoadResourceString reads (tests); null brings the
// built-in one back.
void SetStringTable(const StringTable* table);

// Loads string id into target. A missing or empty string gives false and
// leaves target as it was, so callers preset it with their default. While
// the built-in table is in use, a non-empty $VELLUM_SEED_URL stands for
// string IDS_SEED_URL.
bool LoadResourceString(std::string& target, int id);

}  // namespace vellum
