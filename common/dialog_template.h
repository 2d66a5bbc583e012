// Dialog templates as data: a window's style, its font and its controls in
// dialog units.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dlg {

// Style bits a template carries.
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_MINIMIZEBOX = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
inline constexpr std::uint32_t DS_SETFONT = 0x00000040;  // the template names a font
inline constexpr std::uint32_t DS_MODALFRAME = 0x00000080;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000;
inline constexpr std::uint32_t PBS_SMOOTH = 0x00000001;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x00000080;
inline constexpr std::uint32_t ES_READONLY = 0x00000800;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x00000001;

// Id of controls that are never addressed (labels).
inline constexpr int IDC_STATIC = -1;

enum class ControlClass { Static, ProgressBar, Edit, Button };

struct DialogControl {
    ControlClass kind = ControlClass::Static;
    int id = IDC_STATIC;
    std::string text;
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
};

struct DialogTemplate {
    unsigned id = 0;
    bool extended = true;  // extended templates also carry weight and italic
    std::uint32_t style = 0;
    std::uint32_t exStyle = 0;
    // Font, meaningful only with DS_SETFONT in style.
    int pointSize = 0;
    int weight = 0;
    bool italic = false;
    std::string face;
    int cx = 0, cy = 0;  // dialog units
    std::vector<DialogControl> controls;
};

}  // namespace dlg
