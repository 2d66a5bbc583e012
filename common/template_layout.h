// Lays a window and its controls out from a dialog template at a fixed
// resolution, so that they land on the same pixels as the page and the
// background pictures whatever the system's font scaling.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/dialog_template.h"

// The font a layout is made with. pixelHeight is the character height the
// font is created with (the em size in pixels, without internal leading).
struct FontRequest {
    std::string face;
    int pixelHeight = 0;
    int weight = 0;
    bool italic = false;
};

// What a toolkit measures of the font.
struct FontMetrics {
    int textHeight = 0;     // ascent + descent in pixels
    int alphabetWidth = 0;  // width in pixels of "a".."z" followed by "A".."Z"
};

struct LayoutRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const LayoutRect&) const = default;
};

struct PlacedControl {
    std::size_t index = 0;  // position in the template's control list
    int id = 0;
    LayoutRect rect;
};

struct TemplateLayout {
    FontRequest font;
    int charHeight = 0;
    int averageWidth = 0;
    int clientWidth = 0;
    int clientHeight = 0;
    // The controls that were found, in template order.
    std::vector<PlacedControl> controls;
};

using FontMeasure = std::function<FontMetrics(const FontRequest&)>;

// The face used by templates that name no font.
inline constexpr const char* kFallbackFace = "Tahoma";
inline constexpr const char* kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The font of a template at the given resolution.
FontRequest TemplateFont(const dlg::DialogTemplate& tpl, int dotsPerInch);

// Average character width from the width of kAlphabet, rounded as dialog
// units are.
int AverageCharWidth(int alphabetWidth);

// Converts dialog units to pixels with the font's metrics.
int DialogUnitsToPixelsX(int units, int averageWidth);
int DialogUnitsToPixelsY(int units, int charHeight);

// Measures the template's font at dotsPerInch and computes the client size
// and each control's rectangle. childIds are the ids of the window's child
// controls in their order; each template control is looked up from the child
// after the previously found one, and the layout stops at the first control
// that is not found.
TemplateLayout ApplyTemplateLayout(const dlg::DialogTemplate& tpl, int dotsPerInch,
                                   const FontMeasure& measure, const std::vector<int>& childIds);
