#include "common/gtk/font_setup.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <string>

namespace gtkui {

namespace {

// The Song face of the dialog templates, under the names it goes by. The
// templates' generic "MS Shell Dlg" resolves to the same face on the
// systems the windows were drawn for.
constexpr const char* kAliases = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <alias binding="strong">
    <family>宋体</family>
    <prefer><family>AR PL SungtiL GB</family></prefer>
  </alias>
  <alias binding="strong">
    <family>SimSun</family>
    <prefer><family>AR PL SungtiL GB</family></prefer>
  </alias>
  <alias binding="strong">
    <family>新宋体</family>
    <prefer><family>AR PL SungtiL GB</family></prefer>
  </alias>
  <alias binding="strong">
    <family>MS Shell Dlg</family>
    <prefer><family>AR PL SungtiL GB</family></prefer>
  </alias>
</fontconfig>
)";

// A context that measures without hinting, owned by the caller.
PangoContext* MeasuringContext(double resolution) {
    PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
    pango_cairo_context_set_resolution(context, resolution > 0 ? resolution : 96);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
    return context;
}

int RoundUnits(int units) {
    return PANGO_PIXELS(units);
}

}  // namespace

bool InstallFontAliases() {
    if (!FcInit())
        return false;
    FcConfig* config = FcConfigGetCurrent();
    return FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kAliases),
                                          FcTrue) == FcTrue;
}

PangoFontDescription* FontDescription(const FontRequest& font) {
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, font.face.c_str());
    pango_font_description_set_absolute_size(desc, std::max(font.pixelHeight, 1) * PANGO_SCALE);
    // Weight 0 means "don't care", which is the regular weight.
    const int weight = font.weight <= 0 ? 400 : std::clamp(font.weight, 100, 1000);
    pango_font_description_set_weight(desc, static_cast<PangoWeight>(weight));
    pango_font_description_set_style(desc, font.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return desc;
}

FontMetrics MeasureFont(const FontRequest& font, double resolution) {
    PangoContext* context = MeasuringContext(resolution);
    PangoFontDescription* desc = FontDescription(font);

    FontMetrics result;
    if (PangoFontMetrics* metrics = pango_context_get_metrics(context, desc, nullptr)) {
        result.textHeight = RoundUnits(pango_font_metrics_get_ascent(metrics)) +
                            RoundUnits(pango_font_metrics_get_descent(metrics));
        pango_font_metrics_unref(metrics);
    }
    PangoLayout* layout = pango_layout_new(context);
    pango_layout_set_font_description(layout, desc);
    pango_layout_set_text(layout, kAlphabet, -1);
    int width = 0;
    pango_layout_get_size(layout, &width, nullptr);
    result.alphabetWidth = RoundUnits(width);

    g_object_unref(layout);
    pango_font_description_free(desc);
    g_object_unref(context);
    return result;
}

std::string ResolvedFamily(const FontRequest& font) {
    PangoContext* context = MeasuringContext(96);
    PangoFontDescription* desc = FontDescription(font);
    std::string family;
    if (PangoFont* loaded = pango_context_load_font(context, desc)) {
        PangoFontDescription* got = pango_font_describe(loaded);
        if (const char* name = pango_font_description_get_family(got))
            family = name;
        pango_font_description_free(got);
        g_object_unref(loaded);
    }
    pango_font_description_free(desc);
    g_object_unref(context);
    return family;
}

}  // namespace gtkui
