#include "korvel/app/command_line.h"
#include "korvel/app/korvel_app.h"
#include "korvel/app/korvel_dlg.h"

int main(int argc, char** argv) {
    CkorvelApp app;
    SetTheApp(&app);
    app.m_arguments.assign(argv + 1, argv + argc);
    app.InitInstance(JoinArguments(argc, argv));
    // Threads the window left behind may still run: end without unwinding.
    ExitProcessNow(app.ExitInstance());
}
