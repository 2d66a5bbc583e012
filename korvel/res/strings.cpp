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
        case IDS_SIGNATURE_MISSING:
            return "找不到 %s 的签名";
        case IDS_SIGNATURE_INVALID:
            return "%s 的签名无法验证";
        case IDS_SIGNATURE_EXPIRED:
            return "%s 的签名已过期";
        case IDS_SIGNATURE_OLDER_LIST:
            return "%s 的签名时间早于上次接受的更新列表";
        case IDS_SIGNATURE_KEYS_UNSAFE:
            return "信任密钥文件不安全, 无法验证 %s 的签名";
        case IDS_SIGNATURE_FILE_DELETED:
            return "\n程序将自动删除%s, 请重新下载";
        case IDS_SIGNATURE_LIST_GUIDE:
            return "\n是否查看手动更新指南？";
        default:
            return {};
    }
}

}  // namespace res
