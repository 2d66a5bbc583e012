#include "tests/support/gtk_display.h"

#include "common/gtk/gtk_init.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace testing_support {

namespace {

class Display {
  public:
    Display() {
        if (!xvfb_.started()) {
            why_ = "no X server for the window tests: " + xvfb_.error();
            return;
        }
        g_setenv("DISPLAY", xvfb_.display().c_str(), TRUE);
        g_setenv("NO_AT_BRIDGE", "1", TRUE);
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            g_setenv(name, home_.path().c_str(), TRUE);
        ready_ = gtkui::InitGtk();
        if (!ready_)
            why_ = "GTK could not open " + xvfb_.display();
    }

    XvfbDisplay xvfb_;
    TempDir home_;
    bool ready_ = false;
    std::string why_;
};

}  // namespace

bool GtkDisplayReady(std::string& why) {
    // Ends Xvfb when the program exits.
    static Display display;
    why = display.why_;
    return display.ready_;
}

}  // namespace testing_support
