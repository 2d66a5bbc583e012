// The repair tool's start-up: it explains itself, asks which folder to
// repair and runs the main window on it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Vellum/app/vellum_dlg.h"
#include "Vellum/app/vellum_view.h"
#include "common/message_loop.h"

namespace vellum {

// Shows the chooser until the user picks a folder they can write and read,
// refusing others with a box; false when the user cancels.
bool ChooseRepairFolder(std::string& folder, const FolderPicker& pick);

// Whether the window is wanted: there is a display (DISPLAY or
// WAYLAND_DISPLAY) and VELLUM_UI is not "console".
bool WindowWanted();

class CVellumApp {
  public:
    struct Ui {
        std::function<std::unique_ptr<VellumView>(MessageLoop&)> makeView;
        FolderPicker pickFolder;
        CVellumDlg::Hooks hooks;  // tests replace the engine and the exit
    };
    explicit CVellumApp(Ui ui);

    // The start-up dialogue and the window; false in the end, as the
    // application ends when the window does.
    bool InitInstance();

  private:
    Ui m_ui;
    // Kept to the end of the process, which may end from inside the window.
    std::unique_ptr<MessageLoop> m_loop;
    std::unique_ptr<VellumView> m_view;
    std::unique_ptr<CVellumDlg> m_dlg;
};

}  // namespace vellum
