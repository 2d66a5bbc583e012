#include "korvel/res/strings.h"

namespace res {

std::string LoadString(unsigned id) {
    switch (id) {
        case IDS_SOCKETS_INIT_FAILED:
            return "Windows 套接字初始化失败。";
        case IDS_ALREADY_RUNNING:
            return "更新程序已经在运行。";
        case IDS_WINDOW_TITLE:
            return "《ZorniaII》更新程序";
        case IDS_INSTANCE_NAME:
            return "VESPERA_GAME_PATCH_8614893";
        case IDS_RUN_GAME:
            return "请运行zorn.exe!";
        case IDS_DEFAULT_UPDATE_URL:
            return kDefaultUpdateUrl;
        case IDS_SETTINGS_FILE:
            return "update.ini";
        case IDS_UPDATE_URL_KEY:
            return "UpdateURLEX";
        case IDS_DOWNLOAD_DIR:
            return "download";
        case IDS_WIN9X_REMINDER:
            return "更新程序检查到操作系统的版本可能是win98或者更低，在更新过程中可能会出现不正常\n"
                   "的现象,如果程序长时间没有响应，请通过“ctrl+alt+del”关闭更新进程，并手工启动\n"
                   "“%s”\n进行资料片的安装，对您造成的不便，敬请谅解。";
        default:
            return {};
    }
}

}  // namespace res
