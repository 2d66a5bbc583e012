#include "common/gtk/gtk_init.h"

#include <gtk/gtk.h>

#include "common/gtk/font_setup.h"

namespace gtkui {

bool InitGtk() {
    // Once per process: the boxes of the start-up may have opened it before
    // the window does.
    static const bool ok = [] {
        InstallFontAliases();
        return gtk_init_check(nullptr, nullptr) == TRUE;
    }();
    return ok;
}

}  // namespace gtkui
