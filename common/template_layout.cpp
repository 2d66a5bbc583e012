#include "common/template_layout.h"

namespace {

constexpr int kFallbackPointSize = 8;
constexpr int kFallbackWeight = 400;

// Horizontal units are scaled in real numbers; vertical ones are divided in
// integers before the half is added. This is the rounding the pictures and
// the page were drawn for (291 x 309 units at 6 x 12 give 437 x 463).
int ScaleX(int units, int averageWidth) {
    return static_cast<int>(static_cast<double>(units) * averageWidth / 4 + 0.5);
}

int ScaleY(int units, int charHeight) {
    return static_cast<int>(units * charHeight / 8 + 0.5);
}

}  // namespace

FontRequest TemplateFont(const dlg::DialogTemplate& tpl, int dotsPerInch) {
    FontRequest font;
    int pointSize = kFallbackPointSize;
    if (tpl.style & dlg::DS_SETFONT) {
        pointSize = tpl.pointSize;
        font.face = tpl.face;
        if (tpl.extended) {
            font.weight = tpl.weight;
            font.italic = tpl.italic;
        }
    } else {
        font.face = kFallbackFace;
        font.weight = kFallbackWeight;
    }
    if (pointSize < 0 || pointSize > 32767)
        pointSize = -pointSize;
    font.pixelHeight = static_cast<int>(static_cast<double>(pointSize) * dotsPerInch / 72 + 0.5);
    return font;
}

int AverageCharWidth(int alphabetWidth) {
    return (alphabetWidth / 26 + 1) / 2;
}

int DialogUnitsToPixelsX(int units, int averageWidth) {
    return ScaleX(units, averageWidth);
}

int DialogUnitsToPixelsY(int units, int charHeight) {
    return ScaleY(units, charHeight);
}

TemplateLayout ApplyTemplateLayout(const dlg::DialogTemplate& tpl, int dotsPerInch,
                                   const FontMeasure& measure, const std::vector<int>& childIds) {
    TemplateLayout layout;
    layout.font = TemplateFont(tpl, dotsPerInch);
    const FontMetrics metrics = measure(layout.font);
    layout.charHeight = metrics.textHeight;
    layout.averageWidth = AverageCharWidth(metrics.alphabetWidth);
    layout.clientWidth = DialogUnitsToPixelsX(tpl.cx, layout.averageWidth);
    layout.clientHeight = DialogUnitsToPixelsY(tpl.cy, layout.charHeight);

    std::size_t next = 0;  // where the search for the next control starts
    for (std::size_t i = 0; i < tpl.controls.size(); ++i) {
        const dlg::DialogControl& c = tpl.controls[i];
        std::size_t found = next;
        while (found < childIds.size() && childIds[found] != c.id)
            ++found;
        if (found == childIds.size())
            break;
        next = found + 1;
        layout.controls.push_back({i,
                                   c.id,
                                   {DialogUnitsToPixelsX(c.x, layout.averageWidth),
                                    DialogUnitsToPixelsY(c.y, layout.charHeight),
                                    DialogUnitsToPixelsX(c.cx, layout.averageWidth),
                                    DialogUnitsToPixelsY(c.cy, layout.charHeight)}});
    }
    return layout;
}
