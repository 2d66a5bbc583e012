// Puts a dialog template's controls on a window at their template places.
#pragma once

#include <gtk/gtk.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/dialog_template.h"
#include "common/template_layout.h"

namespace gtkui {

// Lays tpl out at 96 dots per inch with fonts measured at the screen's
// resolution (the window keeps its pixel layout on any screen), adds the
// style sheet css(layout, barHeight) for the window's screen (barHeight:
// the tallest progress bar placed, 0 without one) and puts each placed
// control's widget(index) on fixed at its place and size. childIds are the
// ids of the window's children; widget is asked for template indexes.
// *provider receives the style sheet's provider, which the caller frees.
TemplateLayout PlaceTemplateControls(
    GtkWidget* window, GtkWidget* fixed, const dlg::DialogTemplate& tpl,
    const std::vector<int>& childIds, const std::function<GtkWidget*(std::size_t)>& widget,
    const std::function<std::string(const TemplateLayout&, int barHeight)>& css,
    GtkCssProvider** provider);

}  // namespace gtkui
