// Fonts of the windows: the program's own fontconfig aliases and the
// measuring of a template font with Pango.
#pragma once

#include <pango/pango.h>

#include <string>

#include "common/template_layout.h"

namespace gtkui {

// The face the window's Song font ("宋体", "SimSun") resolves to. Its Latin
// letters are half an em wide and its ascent and descent add up to the em,
// so at 12 pixels it measures as the layout expects (height 12, width 6).
inline constexpr const char* kSongFace = "AR PL SungtiL GB";

// Adds the program's aliases to the process's fontconfig configuration.
// Call before the first font is resolved (before gtk_init). False when
// fontconfig refused them.
bool InstallFontAliases();

// A Pango description of the font at its pixel height, whatever the screen's
// resolution. Free with pango_font_description_free.
PangoFontDescription* FontDescription(const FontRequest& font);

// Measures the font as the layout needs it: the text height is the font's
// ascent plus descent, each rounded to whole pixels, and the alphabet width
// is the width of kAlphabet, both without hinting. resolution is the
// screen's dots per inch; the pixel sizes do not depend on it.
FontMetrics MeasureFont(const FontRequest& font, double resolution = 96);

// The family fontconfig gives for the font, for diagnostics.
std::string ResolvedFamily(const FontRequest& font);

}  // namespace gtkui
