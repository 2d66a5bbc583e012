#include <cstdlib>
#include <string>

#include "common/signing/trusted_keys.h"
#include "korvel/app/command_line.h"
#include "common/gtk/gtk_message_box.h"
#include "korvel/app/gtk/gtk_view.h"
#include "korvel/app/korvel_app.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/app/view_factory.h"

namespace {

// The publisher keys file is the one compiled in. Only the tests' own build
// of the program (KORVEL_TRUSTED_KEYS_FROM_ENV) takes ZORNIA_TRUSTED_KEYS_FILE
// from the environment, so that each test can give its own.
std::string TrustedKeysPath() {
#ifdef KORVEL_TRUSTED_KEYS_FROM_ENV
    if (const char* path = std::getenv("ZORNIA_TRUSTED_KEYS_FILE"))
        return path;
#endif
    return signing::DefaultTrustedKeysPath();
}

}  // namespace

int main(int argc, char** argv) {
    SetWindowedViewMaker(&gtkui::CreateGtkView);
    // With the window, every box of the process is a GTK dialog, those of
    // the start-up included (a launcher's user sees no terminal). Made once
    // and kept to the end: the process ends without unwinding.
    if (WindowedViewWanted() && gtkui::InitGtk())
        platform::SetMessageBoxes(new gtkui::GtkMessageBoxes());
    CkorvelApp app;
    SetTheApp(&app);
    app.m_trustedKeysPath = TrustedKeysPath();
    app.m_arguments.assign(argv + 1, argv + argc);
    app.InitInstance(JoinArguments(argc, argv));
    // Threads the window left behind may still run: end without unwinding.
    ExitProcessNow(app.ExitInstance());
}
