#include "common/gtk/gtk_message_box.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/codepage.h"

namespace gtkui {

namespace {

GtkWidget* g_current = nullptr;

GtkMessageType MessageType(platform::MbIcon icon) {
    switch (icon) {
        case platform::MbIcon::Error:
            return GTK_MESSAGE_ERROR;
        case platform::MbIcon::Warning:
            return GTK_MESSAGE_WARNING;
        case platform::MbIcon::Information:
            return GTK_MESSAGE_INFO;
        case platform::MbIcon::Question:
            return GTK_MESSAGE_QUESTION;
        case platform::MbIcon::None:
            break;
    }
    return GTK_MESSAGE_OTHER;
}

const char* IconName(platform::MbIcon icon) {
    switch (icon) {
        case platform::MbIcon::Error:
            return "dialog-error";
        case platform::MbIcon::Warning:
            return "dialog-warning";
        case platform::MbIcon::Information:
            return "dialog-information";
        case platform::MbIcon::Question:
            return "dialog-question";
        case platform::MbIcon::None:
            break;
    }
    return nullptr;
}

// GTK 3 no longer draws the message type's icon: put it beside the text.
void AddIcon(GtkWidget* dialog, platform::MbIcon icon) {
    const char* name = IconName(icon);
    if (!name)
        return;
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GtkWidget* row = gtk_widget_get_parent(area);
    if (!GTK_IS_BOX(row))
        return;
    GtkWidget* image = gtk_image_new_from_icon_name(name, GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_name(image, "korvel-box-icon");
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(row), image, 0);
    gtk_widget_show(image);
}

// What closing the box without a button gives: Cancel where there is one,
// OK for a lone OK button; boxes without either cannot be closed that way.
int CloseResult(const std::vector<int>& results) {
    for (int r : results) {
        if (r == platform::IDCANCEL)
            return r;
    }
    if (results.size() == 1 && results[0] == platform::IDOK)
        return platform::IDOK;
    return 0;
}

}  // namespace

GtkWidget* CurrentMessageDialog() {
    return g_current;
}

int RunMessageDialog(GtkWindow* parent, const platform::MessageBoxSpec& box) {
    const std::vector<int> results = platform::ButtonResults(box.buttons);
    const int closeResult = CloseResult(results);

    GtkWidget* dialog =
        gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, MessageType(box.icon), GTK_BUTTONS_NONE,
                               "%s", platform::DisplayText(box.text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), platform::DisplayText(box.caption).c_str());
    AddIcon(dialog, box.icon);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog),
                            parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    if (box.topMost)
        gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    if (closeResult == 0)
        gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
    for (int r : results)
        gtk_dialog_add_button(GTK_DIALOG(dialog), platform::ButtonLabel(r), r);
    const int def = platform::DefaultResult(box);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), def);
    if (GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), def))
        gtk_widget_grab_focus(button);

    GtkWidget* previous = g_current;
    g_current = dialog;
    int result = 0;
    while (result == 0) {
        const int response = gtk_dialog_run(GTK_DIALOG(dialog));
        if (response > 0)
            result = response;
        else if (closeResult != 0)
            result = closeResult;
    }
    g_current = previous;
    gtk_widget_destroy(dialog);
    return result;
}

GtkMessageBoxes::GtkMessageBoxes(std::function<GtkWindow*()> parent)
    : parent_(std::move(parent)), thread_(std::this_thread::get_id()) {}

int GtkMessageBoxes::Show(const platform::MessageBoxSpec& box) {
    if (std::this_thread::get_id() == thread_) {
        GtkWindow* parent = box.owner && parent_ ? parent_() : nullptr;
        return RunMessageDialog(parent, box);
    }

    // Hand the box over to the window thread and wait. A source attached to
    // the default context always runs on the thread that runs the loop
    // (g_main_context_invoke would run it here when nobody holds the
    // context at that moment).
    struct Call {
        GtkMessageBoxes* self;
        const platform::MessageBoxSpec* box;
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int result = 0;
    } call{this, &box, {}, {}, false, 0};
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* c = static_cast<Call*>(data);
            GtkWindow* parent = c->box->owner && c->self->parent_ ? c->self->parent_() : nullptr;
            const int result = RunMessageDialog(parent, *c->box);
            std::lock_guard lock(c->mutex);
            c->result = result;
            c->finished = true;
            c->done.notify_all();
            return G_SOURCE_REMOVE;
        },
        &call, nullptr);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    std::unique_lock lock(call.mutex);
    call.done.wait(lock, [&] { return call.finished; });
    return call.result;
}

}  // namespace gtkui
