#include "korvel/res/dialog_template.h"

namespace res {

using namespace dlg;

namespace {

constexpr std::uint32_t kStatic = WS_CHILD | WS_VISIBLE;
constexpr std::uint32_t kBar = WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH;

const DialogTemplate kKorvelDialog{
    .id = IDD_KORVEL_DIALOG,
    .extended = true,
    .style = WS_POPUP | WS_VISIBLE | DS_SETFONT,
    .exStyle = WS_EX_APPWINDOW,
    .pointSize = 9,
    .weight = 0,
    .italic = false,
    .face = "宋体",
    .cx = 291,
    .cy = 309,
    .controls =
        {
            {ControlClass::Static, IDC_STATIC, "更新包版本:", kStatic, 34, 103, 47, 8},
            {ControlClass::ProgressBar, 1000, "", kBar, 91, 231, 157, 11},
            {ControlClass::ProgressBar, 1001, "", kBar, 91, 246, 157, 11},
            {ControlClass::Static, 1002, "", kStatic, 99, 103, 127, 8},
            {ControlClass::Static, 1003, "", kStatic, 103, 275, 175, 8},
            {ControlClass::Static, IDC_STATIC, "下载进度", kStatic, 40, 233, 33, 8},
            {ControlClass::Static, 1006, "更新进度", kStatic, 40, 249, 33, 8},
            {ControlClass::Static, 1004, "", kStatic, 28, 262, 250, 10},
            {ControlClass::Static, IDC_STATIC, "如果更新速度太慢或者无法更新,请访问以下地址查询",
             kStatic, 13, 276, 241, 8},
            {ControlClass::Static, 1005, "", kStatic, 241, 291, 37, 11},
        },
};

}  // namespace

const DialogTemplate* FindDialogTemplate(unsigned id) {
    if (id == IDD_KORVEL_DIALOG)
        return &kKorvelDialog;
    return nullptr;
}

}  // namespace res
