#include "korvel/expansion/expansion_table.h"

#include <sys/stat.h>

#include <map>

#include "korvel/res/hosts.h"
#include "korvel/update/settings.h"

#define KORVEL_UPDATE_URL(path) "http://" KORVEL_UPDATE_HOST path

const std::array<ExpansionPack, 10> ExpansionTable = {{
    {"EXP1", "shape.wd1", "ExpVersion1", KORVEL_UPDATE_URL("/ZORNEXP1.exe"), "雾海初航"},
    {"EXP2", "shape.wd2", "ExpVersion2", KORVEL_UPDATE_URL("/ZORNEXP2.exe"), "龙脊山脉"},
    {"EXP3", "shape.wd3", "ExpVersion3", KORVEL_UPDATE_URL("/ZORNEXP3.exe"), "沙海遗城"},
    {"EXP4", "shape.wd4", "ExpVersion4", KORVEL_UPDATE_URL("/ZORNEXP4.exe"), "寒霜王座"},
    {"EXP5", "shape.wd5", "ExpVersion5", KORVEL_UPDATE_URL("/ZORNEXP5.exe"), "星落之森"},
    {"EXP6", "shape.wd6", "ExpVersion6", KORVEL_UPDATE_URL("/ZORNEXP6.exe"), "赤焰熔炉"},
    {"EXP7", "shape.wd7", "ExpVersion7", KORVEL_UPDATE_URL("/ZORNEXP7.exe"), "幽影迷宫"},
    {"EXP8", "shape.wd8", "ExpVersion8", KORVEL_UPDATE_URL("/ZORNEXP8.exe"), "天空之城"},
    {"EXP9", "shape.wd9", "ExpVersion9", KORVEL_UPDATE_URL("/ZORNEXP9.exe"), "深渊回响"},
    // The last pack is published on the download mirror, in a subfolder.
    {"EXP10", "shape.wda", "ExpVersionA", "http://" KORVEL_MIRROR_HOST "/zorn/ZORNEXP10.exe",
     "永恒之门"},
}};

std::int32_t FindMissingExpansion(const std::string& gameDir, std::string& title,
                                  std::string& installerUrl, std::string& shapeFilePath) {
    for (std::size_t i = 0; i < ExpansionTable.size(); ++i) {
        const ExpansionPack& pack = ExpansionTable[i];
        shapeFilePath = gameDir + pack.shapeFile;
        struct stat status;
        if (::stat(shapeFilePath.c_str(), &status) == 0)
            continue;
        title = pack.title;
        installerUrl = ReadSetting("", pack.settingKey, pack.installerUrl);
        return static_cast<std::int32_t>(i + 1);
    }
    return 0;
}

std::string ExpansionKeyForTitle(const std::string& title) {
    for (const ExpansionPack& pack : ExpansionTable)
        if (title == pack.title)
            return pack.key;
    return {};
}

std::string MirrorTorrentUrl(const std::string& url) {
    // Built on first use; the initialisation of a local static is thread-safe.
    static const std::map<std::string, std::string> kMirrors = {
        {std::string(ExpansionTable[9].installerUrl) + ".torrent",
         "http://" KORVEL_FAST_MIRROR_HOST "/ZORNEXP10.exe.torrent"},
    };
    const auto it = kMirrors.find(url);
    return it == kMirrors.end() ? url : it->second;
}
