#include "common/gtk/template_controls.h"

#include <algorithm>

#include "common/gtk/font_setup.h"

namespace gtkui {

TemplateLayout PlaceTemplateControls(
    GtkWidget* window, GtkWidget* fixed, const dlg::DialogTemplate& tpl,
    const std::vector<int>& childIds, const std::function<GtkWidget*(std::size_t)>& widget,
    const std::function<std::string(const TemplateLayout&, int barHeight)>& css,
    GtkCssProvider** provider) {
    GdkScreen* screen = gtk_widget_get_screen(window);
    const double resolution = gdk_screen_get_resolution(screen);
    TemplateLayout layout = ApplyTemplateLayout(
        tpl, 96, [&](const FontRequest& f) { return MeasureFont(f, resolution); }, childIds);

    int barHeight = 0;
    for (const PlacedControl& placed : layout.controls) {
        if (tpl.controls[placed.index].kind == dlg::ControlClass::ProgressBar)
            barHeight = std::max(barHeight, placed.rect.height);
    }
    *provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(*provider, css(layout, barHeight).c_str(), -1, nullptr);
    gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(*provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    for (const PlacedControl& placed : layout.controls) {
        GtkWidget* child = widget(placed.index);
        gtk_widget_set_size_request(child, placed.rect.width, placed.rect.height);
        gtk_fixed_put(GTK_FIXED(fixed), child, placed.rect.x, placed.rect.y);
    }
    return layout;
}

}  // namespace gtkui
