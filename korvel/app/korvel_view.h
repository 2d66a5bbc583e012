// What the main window's logic needs of a toolkit. CkorvelDlg holds the state
// and runs the handlers; a view only shows it. Implementations: the console
// view, a recording view for tests, and the GTK window.
#pragma once

#include <functional>
#include <string>

#include "platform/message_box.h"

class KorvelView {
  public:
    virtual ~KorvelView() = default;

    // Called once on the window thread before anything else is shown.
    virtual void Create(const std::string& title) = 0;
    // Text of a static (IDC_TEXT_*).
    virtual void SetText(int controlId, const std::string& text) = 0;
    // Position 0..100 of a progress bar (IDC_PROGRESS_*); other values are
    // clamped to the bar's range.
    virtual void SetBar(int controlId, int position) = 0;
    // Restores the background under a static before its text changes.
    virtual void RepaintBehind(int controlId) = 0;
    virtual void ShowWindow(bool visible) = 0;
    // A modal box owned by the window, shown on the window thread. While it
    // is up, posted messages and timers keep being handled.
    virtual int MessageBox(const platform::MessageBoxSpec& box) = 0;
    // The window is going away (end of the modal loop).
    virtual void Destroy() = 0;

    // What the user can ask for, wired to the window's handlers before Create:
    // ok is the OK command (asks to cancel, then closes through the close
    // handling), buttonCancel the page's cancel button (asks, then ends the
    // dialog at once), cancel the dialog's cancel command (ends it without a
    // question).
    struct Commands {
        std::function<void()> ok;
        std::function<void()> buttonCancel;
        std::function<void()> cancel;
    };
    virtual void SetCommands(Commands commands) { commands_ = std::move(commands); }

  protected:
    Commands commands_;
};
