#include <unistd.h>
#include <cstdio>

#include "Vellum/app/console_view.h"
#include "Vellum/app/gtk/vellum_gtk_view.h"
#include "Vellum/app/vellum_app.h"
#include "common/gtk/gtk_init.h"
#include "common/gtk/gtk_message_box.h"

int main() {
    using namespace vellum;
    platform::SetScriptedAnswersVariable("VELLUM_ANSWERS");
    CVellumApp::Ui ui;
    // With the window every box of the process is a GTK dialog, those of
    // the start-up included. Made once and kept to the end: the process may
    // end from inside the window without unwinding.
    if (WindowWanted() && gtkui::InitGtk()) {
        platform::SetMessageBoxes(new gtkui::GtkMessageBoxes());
        ui.pickFolder = PickRepairFolderGtk;
        ui.makeView = [](MessageLoop& loop) -> std::unique_ptr<VellumView> {
            if (auto view = CreateVellumGtkView(loop))
                return view;
            return std::make_unique<ConsoleView>(loop);
        };
    } else {
        ui.pickFolder = ConsoleFolderPicker;
        ui.makeView = [](MessageLoop& loop) -> std::unique_ptr<VellumView> {
            return std::make_unique<ConsoleView>(loop);
        };
    }
    CVellumApp app(std::move(ui));
    app.InitInstance();
    std::fflush(nullptr);
    ::_exit(0);
}
