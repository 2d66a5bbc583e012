#include "korvel/app/command_line.h"
#include "korvel/app/gtk/gtk_view.h"
#include "korvel/app/korvel_app.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/app/view_factory.h"

int main(int argc, char** argv) {
    SetWindowedViewMaker(&gtkui::CreateGtkView);
    CkorvelApp app;
    SetTheApp(&app);
    app.m_arguments.assign(argv + 1, argv + argc);
    app.InitInstance(JoinArguments(argc, argv));
    // Threads the window left behind may still run: end without unwinding.
    ExitProcessNow(app.ExitInstance());
}
