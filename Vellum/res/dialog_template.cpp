#include "Vellum/res/dialog_template.h"

namespace vellum {

namespace {

using namespace dlg;

constexpr std::uint32_t kStatic = WS_CHILD | WS_VISIBLE;

const DialogTemplate kVellumDialog{
    .id = IDD_VELLUM_DIALOG,
    .extended = false,
    .style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT,
    .exStyle = WS_EX_APPWINDOW,
    .pointSize = 9,
    .weight = 0,
    .italic = false,
    .face = "MS Shell Dlg",
    .cx = 251,
    .cy = 134,
    .controls =
        {
            {ControlClass::Static, IDC_STATIC, "文件信息：", kStatic, 7, 6, 35, 8},
            {ControlClass::Static, 1002, "", kStatic, 45, 6, 199, 8},
            {ControlClass::Static, IDC_STATIC, "修复目录：", kStatic, 7, 25, 35, 8},
            {ControlClass::Edit, 1003, "",
             kStatic | WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, 47, 23, 197, 14},
            {ControlClass::ProgressBar, 1000, "", kStatic | WS_BORDER | PBS_SMOOTH, 7, 48, 237, 17},
            {ControlClass::Static, 1001, "", kStatic, 7, 74, 141, 15},
            {ControlClass::Static, 1004, "", kStatic, 148, 74, 96, 15},
            {ControlClass::Static, 1005, "", kStatic, 7, 94, 237, 15},
            {ControlClass::Button, 1, "取消", kStatic | WS_TABSTOP | BS_DEFPUSHBUTTON, 100, 111, 50,
             16},
        },
};

}  // namespace

const DialogTemplate* FindDialogTemplate(unsigned id) {
    return id == IDD_VELLUM_DIALOG ? &kVellumDialog : nullptr;
}

}  // namespace vellum
