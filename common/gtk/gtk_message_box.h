// Message boxes as GTK dialogs.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <thread>

#include "platform/message_box.h"

namespace gtkui {

// Shows a modal GtkMessageDialog on the calling thread, which must be the
// thread of GLib's default main context. The nested loop keeps handling the
// context's other sources (posted messages, timers). parent may be null.
// Gives the result of the button pressed.
int RunMessageDialog(GtkWindow* parent, const platform::MessageBoxSpec& box);

// The dialog's widget while one is shown by RunMessageDialog, for tests and
// for closing it; null otherwise. Window thread only.
GtkWidget* CurrentMessageDialog();

// Message boxes of the process in GTK mode. Made on the thread that runs
// GLib's default main context; boxes asked for on other threads are shown on
// that thread while the caller waits for the answer.
class GtkMessageBoxes : public platform::MessageBoxes {
  public:
    // parent gives the window that owns boxes with an owner, or null.
    explicit GtkMessageBoxes(std::function<GtkWindow*()> parent = {});
    int Show(const platform::MessageBoxSpec& box) override;

  private:
    std::function<GtkWindow*()> parent_;
    std::thread::id thread_;
};

}  // namespace gtkui
