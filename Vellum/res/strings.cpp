#include "Vellum/res/strings.h"

#include <cstdlib>

#include "Vellum/res/seed_host.h"

namespace vellum {

namespace {

const StringTable* g_table = nullptr;

}  // namespace

const StringTable& BuiltInStrings() {
    static const StringTable table = {
        {IDS_SEED_URL, "http://" VELLUM_SEED_HOST "/zornfix/zornfix.data"},
        {IDS_TITLE, "《ZorniaⅡ》客户端修复工具"},
        {IDS_ENGINE_SUFFIX, "r"},
        {IDS_GAME_NAME, "ZorniaⅡ"},
    };
    return table;
}

void SetStringTable(const StringTable* table) {
    g_table = table;
}

bool LoadResourceString(std::string& target, int id) {
    // A mirror (or a test run of the whole tool) points the built-in seed
    // address elsewhere without rebuilding; a table set by SetStringTable is
    // taken as it is.
    if (id == IDS_SEED_URL && g_table == nullptr) {
        const char* seedUrl = std::getenv("VELLUM_SEED_URL");
        if (seedUrl != nullptr && *seedUrl != '\0') {
            target = seedUrl;
            return true;
        }
    }
    const StringTable& table = g_table != nullptr ? *g_table : BuiltInStrings();
    const auto it = table.find(id);
    if (it == table.end() || it->second.empty())
        return false;
    target = it->second;
    return true;
}

}  // namespace vellum
