// What the repair window's logic needs of a toolkit. CVellumDlg holds the
// state and runs the handlers; a view only shows it. Implementations: the
// GTK window, the console view and a recording view for tests.
#pragma once

#include <functional>
#include <string>

#include "platform/message_box.h"

namespace vellum {

// Controls of dialog template 102.
enum ControlId : int {
    IDC_ACTION = 1,         // the action button ("取消", later "完成")
    IDC_PROGRESS = 1000,    // range set by the engine start, 0..10000
    IDC_STATUS = 1001,      // status line
    IDC_FILE_INFO = 1002,   // file information line
    IDC_REPAIR_DIR = 1003,  // read-only edit with the repair folder
    IDC_RATE = 1004,        // rate, time or percentage line
    IDC_HINT = 1005,        // hint or error line
};

class VellumView {
  public:
    virtual ~VellumView() = default;

    // Shows the window with its title; called once on the window thread.
    virtual void Create(const std::string& title) = 0;
    // Text of a static, of the edit 1003 or of the action button.
    virtual void SetText(int controlId, const std::string& text) = 0;
    // Range and position of the progress bar.
    virtual void SetBarRange(int low, int high) = 0;
    virtual void SetBar(int position) = 0;
    // A modal box owned by the window. While it is up, timers and posted
    // messages keep being handled.
    virtual int MessageBox(const platform::MessageBoxSpec& box) = 0;
    // The window is going away.
    virtual void Destroy() = 0;

    // The action button's command: the button itself, Enter, Escape, and
    // Ctrl+C on a terminal. The window manager's close request does nothing.
    void SetAction(std::function<void()> action) { action_ = std::move(action); }

  protected:
    std::function<void()> action_;
};

// Shows the folder chooser; false when the user cancelled it. Checking the
// folder is the caller's job.
using FolderPicker = std::function<bool(std::string& folder)>;

}  // namespace vellum
