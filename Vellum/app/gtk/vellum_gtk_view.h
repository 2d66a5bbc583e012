// The repair tool's window in GTK 3: a small decorated dialog window whose
// controls sit at the pixels ApplyTemplateLayout gives for template 102.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "Vellum/app/vellum_view.h"
#include "common/template_layout.h"

class MessageLoop;

namespace vellum {

class VellumGtkView : public VellumView {
  public:
    VellumGtkView();
    ~VellumGtkView() override;
    VellumGtkView(const VellumGtkView&) = delete;
    VellumGtkView& operator=(const VellumGtkView&) = delete;

    void Create(const std::string& title) override;
    void SetText(int controlId, const std::string& text) override;
    void SetBarRange(int low, int high) override;
    void SetBar(int position) override;
    int MessageBox(const platform::MessageBoxSpec& box) override;
    void Destroy() override;

    // What the window is made of (null before Create and after Destroy).
    GtkWindow* Window() const { return window_ ? GTK_WINDOW(window_) : nullptr; }
    GtkWidget* ControlWidget(int controlId) const;
    // The text as shown: statics, the edit and the button.
    std::string Text(int controlId) const;
    double BarFraction() const;
    const TemplateLayout& Layout() const { return layout_; }

  private:
    struct Control {
        int id = 0;
        dlg::ControlClass kind = dlg::ControlClass::Static;
        GtkWidget* widget = nullptr;
        std::string text;  // statics
        VellumGtkView* view = nullptr;
    };

    Control* Find(int controlId);
    const Control* Find(int controlId) const;
    void ShowBar();
    // Runs the action from the loop rather than inside a toolkit signal, as
    // it shows a modal box. A press while one is pending is dropped.
    void RunActionLater();

    static gboolean OnDrawStatic(GtkWidget* widget, cairo_t* cr, gpointer control);
    static gboolean OnKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self);
    static void OnClicked(GtkButton* button, gpointer self);

    GtkWidget* window_ = nullptr;
    GtkCssProvider* css_ = nullptr;
    PangoFontDescription* font_ = nullptr;
    TemplateLayout layout_;
    std::vector<std::unique_ptr<Control>> controls_;
    int low_ = 0, high_ = 100, position_ = 0;
    unsigned pendingAction_ = 0;  // GLib source id of a deferred action
};

// The windowed view: opens the display and gives the GTK window, or null
// when there is no display to open.
std::unique_ptr<VellumView> CreateVellumGtkView(MessageLoop& loop);

// The folder chooser of the start-up, a FolderPicker. Gives the chosen
// folder's local path; a choice without one (a virtual location) gives an
// empty path, which the caller's check refuses. False when cancelled.
bool PickRepairFolderGtk(std::string& folder);

}  // namespace vellum
