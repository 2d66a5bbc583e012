#include "korvel/app/command_line.h"
#include "korvel/app/korvel_app.h"

int main(int argc, char** argv) {
    CkorvelApp app;
    SetTheApp(&app);
    app.InitInstance(JoinArguments(argc, argv));
    const int code = app.ExitInstance();
    SetTheApp(nullptr);
    return code;
}
