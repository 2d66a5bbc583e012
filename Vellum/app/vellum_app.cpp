#include "Vellum/app/vellum_app.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Vellum/res/strings.h"
#include "platform/message_box.h"

namespace vellum {

namespace {

constexpr const char* kUsage =
    "【使用说明】\n\n    默认修复当前游戏目录客户端，或可选择相应修复目录，游戏就会自动下载修\n"
    "复，游戏客户端会在下载修复成功后自动运行。若中途取消或意外中断，只需要再\n"
    "次运行本工具，选择与上次同一下载目录，本工具会自动断点续传。\n"
    "    启动修复工具之前请先关闭修复目录下的所有游戏客户端程序，以保证修复程\n"
    "序正常运行，否则可能修复失败。下载刚开始时速度会比较慢，有时候要等待比较\n"
    "长的时间才会开始下载，但只要下载开始后速度会慢慢加快，请耐心等待。";

// A folder the repair can work in: writable, and its entries can be read.
bool FolderUsable(const std::string& folder) {
    if (folder.empty() || ::access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    ::closedir(dir);
    return true;
}

bool CurrentDirectory(std::string& folder) {
    std::vector<char> buffer(4096);
    if (!::getcwd(buffer.data(), buffer.size()))
        return false;
    folder = buffer.data();
    return true;
}

}  // namespace

bool ChooseRepairFolder(std::string& folder, const FolderPicker& pick) {
    for (;;) {
        std::string chosen;
        if (!pick(chosen))
            return false;
        if (FolderUsable(chosen)) {
            folder = chosen;
            return true;
        }
        platform::MessageBoxSpec box;
        box.caption = "选择文件夹";
        box.text = "该文件夹为只读，请重新选择";
        platform::ShowMessageBox(box);
    }
}

bool WindowWanted() {
    const char* ui = std::getenv("VELLUM_UI");
    if (ui && std::strcmp(ui, "console") == 0)
        return false;
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

CVellumApp::CVellumApp(Ui ui) : m_ui(std::move(ui)) {}

bool CVellumApp::InitInstance() {
    std::string caption = "Vespera下载器";
    LoadResourceString(caption, IDS_TITLE);

    platform::MessageBoxSpec usage;
    usage.caption = caption;
    usage.text = kUsage;
    platform::ShowMessageBox(usage);

    platform::MessageBoxSpec where;
    where.caption = caption;
    where.text = "修复当前游戏目录请选择“是”，点“否”则请选择要修复的游戏目录。";
    where.buttons = platform::MbButtons::YesNo;
    std::string folder;
    // A current directory that is gone cannot be repaired: ask instead.
    if (platform::ShowMessageBox(where) != platform::IDYES || !CurrentDirectory(folder)) {
        if (!ChooseRepairFolder(folder, m_ui.pickFolder))
            return false;
    }

    m_loop = std::make_unique<MessageLoop>();
    m_view = m_ui.makeView(*m_loop);
    m_dlg = std::make_unique<CVellumDlg>(folder, *m_view, *m_loop, m_ui.hooks);
    m_dlg->DoModal();
    return false;
}

}  // namespace vellum
