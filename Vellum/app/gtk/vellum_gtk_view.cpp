#include "Vellum/app/gtk/vellum_gtk_view.h"

#include <algorithm>

#include "Vellum/res/dialog_template.h"
#include "common/gtk/font_setup.h"
#include "common/gtk/gtk_init.h"
#include "common/gtk/gtk_message_box.h"
#include "common/gtk/template_controls.h"
#include "platform/codepage.h"

extern "C" const unsigned char vellum_icon_png_begin[];
extern "C" const unsigned char vellum_icon_png_end[];

namespace vellum {

namespace {

// The template's font for every control, and its edit, bar and button drawn
// flat and tight so that they keep the template's pixels (the theme's
// minimum sizes and paddings would grow them). Sizes are in pixels.
std::string WindowCss(const FontRequest& font, int barHeight) {
    const std::string px = std::to_string(std::max(font.pixelHeight, 1)) + "px";
    const std::string inner = std::to_string(std::max(barHeight - 2, 1)) + "px";
    return R"(
window.vellum-dialog entry, window.vellum-dialog button, window.vellum-dialog label {
    font-family: ")" +
           font.face + R"("; font-size: )" + px + R"(; font-weight: normal; font-style: normal;
}
window.vellum-dialog entry {
    min-height: 0; min-width: 0; padding: 0 2px; margin: 0; border-radius: 0;
}
window.vellum-dialog button {
    min-height: 0; min-width: 0; padding: 0; margin: 0;
}
window.vellum-dialog progressbar { min-height: 0; min-width: 0; padding: 0; margin: 0; }
window.vellum-dialog progressbar trough {
    min-height: )" +
           inner + R"(; min-width: 0; padding: 0; margin: 0; border-radius: 0;
    border: 1px solid #6f6f6f; background-color: #ffffff; background-image: none;
    box-shadow: none;
}
window.vellum-dialog progressbar progress {
    min-height: )" +
           inner + R"(; min-width: 0; margin: 0; border: none; border-radius: 0;
    background-color: #2f6fd0; background-image: none; box-shadow: none;
}
)";
}

// The program's icon: the 48-pixel picture of the installed icons, carried
// as PNG bytes (vellum_icon.S). It is what the window manager shows for the
// minimised window.
GdkPixbuf* LoadIcon() {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (loader == nullptr)
        return nullptr;
    GdkPixbuf* icon = nullptr;
    const auto size = static_cast<gsize>(vellum_icon_png_end - vellum_icon_png_begin);
    if (gdk_pixbuf_loader_write(loader, vellum_icon_png_begin, size, nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        icon = gdk_pixbuf_loader_get_pixbuf(loader);
        if (icon != nullptr)
            g_object_ref(icon);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return icon;
}

}  // namespace

VellumGtkView::VellumGtkView() = default;

VellumGtkView::~VellumGtkView() {
    Destroy();
}

void VellumGtkView::Create(const std::string& title) {
    const dlg::DialogTemplate* tpl = FindDialogTemplate(IDD_VELLUM_DIALOG);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, platform::DisplayText(title).c_str());
    // A normal window, not a dialog: window managers give dialogs no
    // minimise button, and this one is the application's only window.
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_NORMAL);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_skip_taskbar_hint(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_style_context_add_class(gtk_widget_get_style_context(window_), "vellum-dialog");
    if (GdkPixbuf* icon = LoadIcon()) {
        gtk_window_set_icon(window, icon);
        g_object_unref(icon);
    }
    // The close box, the window menu's Close and Alt+F4 do nothing.
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKeyPress), this);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed);

    // One child per template control, in template order, so that the layout
    // finds each of them.
    std::vector<int> childIds;
    for (const dlg::DialogControl& c : tpl->controls) {
        auto control = std::make_unique<Control>();
        control->id = c.id;
        control->kind = c.kind;
        control->view = this;
        switch (c.kind) {
            case dlg::ControlClass::Static:
                control->text = c.text;
                control->widget = gtk_drawing_area_new();
                g_signal_connect(control->widget, "draw", G_CALLBACK(OnDrawStatic), control.get());
                break;
            case dlg::ControlClass::Edit:
                control->widget = gtk_entry_new();
                gtk_editable_set_editable(GTK_EDITABLE(control->widget), FALSE);
                gtk_entry_set_has_frame(GTK_ENTRY(control->widget), TRUE);
                gtk_entry_set_width_chars(GTK_ENTRY(control->widget), 1);
                gtk_entry_set_activates_default(GTK_ENTRY(control->widget), TRUE);
                gtk_entry_set_text(GTK_ENTRY(control->widget), c.text.c_str());
                break;
            case dlg::ControlClass::ProgressBar:
                control->widget = gtk_progress_bar_new();
                break;
            case dlg::ControlClass::Button:
                control->widget = gtk_button_new_with_label(c.text.c_str());
                gtk_widget_set_can_default(control->widget, TRUE);
                g_signal_connect(control->widget, "clicked", G_CALLBACK(OnClicked), this);
                break;
        }
        childIds.push_back(c.id);
        controls_.push_back(std::move(control));
    }

    layout_ = gtkui::PlaceTemplateControls(
        window_, fixed, *tpl, childIds, [&](std::size_t i) { return controls_[i]->widget; },
        [](const TemplateLayout& layout, int barHeight) {
            return WindowCss(layout.font, barHeight);
        },
        &css_);
    font_ = gtkui::FontDescription(layout_.font);
    gtk_widget_set_size_request(fixed, layout_.clientWidth, layout_.clientHeight);
    ShowBar();

    if (GtkWidget* button = ControlWidget(IDC_ACTION))
        gtk_widget_grab_default(button);
    gtk_widget_show_all(window_);
    gtk_window_present(window);
}

VellumGtkView::Control* VellumGtkView::Find(int controlId) {
    if (controlId == dlg::IDC_STATIC)
        return nullptr;
    for (auto& c : controls_) {
        if (c->id == controlId)
            return c.get();
    }
    return nullptr;
}

const VellumGtkView::Control* VellumGtkView::Find(int controlId) const {
    return const_cast<VellumGtkView*>(this)->Find(controlId);
}

GtkWidget* VellumGtkView::ControlWidget(int controlId) const {
    const auto* c = Find(controlId);
    return c ? c->widget : nullptr;
}

std::string VellumGtkView::Text(int controlId) const {
    const auto* c = Find(controlId);
    if (!c)
        return {};
    switch (c->kind) {
        case dlg::ControlClass::Edit:
            return gtk_entry_get_text(GTK_ENTRY(c->widget));
        case dlg::ControlClass::Button:
            return gtk_button_get_label(GTK_BUTTON(c->widget));
        default:
            return c->text;
    }
}

void VellumGtkView::SetText(int controlId, const std::string& text) {
    auto* c = Find(controlId);
    if (!c)
        return;
    const std::string shown = platform::DisplayText(text);
    switch (c->kind) {
        case dlg::ControlClass::Edit:
            gtk_entry_set_text(GTK_ENTRY(c->widget), shown.c_str());
            break;
        case dlg::ControlClass::Button:
            gtk_button_set_label(GTK_BUTTON(c->widget), shown.c_str());
            break;
        case dlg::ControlClass::Static:
            if (shown != c->text) {
                c->text = shown;
                gtk_widget_queue_draw(c->widget);
            }
            break;
        case dlg::ControlClass::ProgressBar:
            break;
    }
}

void VellumGtkView::SetBarRange(int low, int high) {
    low_ = low;
    high_ = high;
    ShowBar();
}

void VellumGtkView::SetBar(int position) {
    position_ = position;
    ShowBar();
}

void VellumGtkView::ShowBar() {
    GtkWidget* bar = ControlWidget(IDC_PROGRESS);
    if (!bar)
        return;
    // An empty or reversed range shows an empty bar.
    double fraction = 0;
    if (high_ > low_) {
        fraction = (static_cast<double>(position_) - low_) / (static_cast<double>(high_) - low_);
        fraction = std::clamp(fraction, 0.0, 1.0);
    }
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), fraction);
}

double VellumGtkView::BarFraction() const {
    GtkWidget* bar = ControlWidget(IDC_PROGRESS);
    return bar ? gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)) : 0;
}

int VellumGtkView::MessageBox(const platform::MessageBoxSpec& box) {
    // The window's boxes are modal to it.
    return gtkui::RunMessageDialog(Window(), box);
}

void VellumGtkView::Destroy() {
    if (pendingAction_) {
        g_source_remove(pendingAction_);
        pendingAction_ = 0;
    }
    if (window_) {
        gtk_widget_destroy(window_);
        g_object_unref(window_);
        window_ = nullptr;
    }
    controls_.clear();
    if (css_) {
        gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(),
                                                     GTK_STYLE_PROVIDER(css_));
        g_object_unref(css_);
        css_ = nullptr;
    }
    if (font_) {
        pango_font_description_free(font_);
        font_ = nullptr;
    }
}

gboolean VellumGtkView::OnDrawStatic(GtkWidget* widget, cairo_t* cr, gpointer data) {
    // Left-aligned text from the top, broken between any two characters at
    // the control's width; only the lines that fit whole are drawn, at least
    // the first, so a long text ends at a whole character and never grows
    // the control or spills out of it. (Breaking by words would move the
    // label's closing "：" and the character before it to the next line.)
    auto* control = static_cast<Control*>(data);
    if (control->text.empty())
        return FALSE;
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, control->text.c_str());
    pango_layout_set_font_description(layout, control->view->font_);
    pango_layout_set_width(layout, width * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_CHAR);

    GdkRGBA color;
    GtkStyleContext* style = gtk_widget_get_style_context(widget);
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), &color);
    gdk_cairo_set_source_rgba(cr, &color);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_clip(cr);

    PangoLayoutIter* iter = pango_layout_get_iter(layout);
    bool first = true;
    do {
        PangoRectangle logical;
        pango_layout_iter_get_line_extents(iter, nullptr, &logical);
        if (!first && logical.y + logical.height > height * PANGO_SCALE)
            break;
        first = false;
        cairo_move_to(cr, 0,
                      static_cast<double>(pango_layout_iter_get_baseline(iter)) / PANGO_SCALE);
        pango_cairo_show_layout_line(cr, pango_layout_iter_get_line_readonly(iter));
    } while (pango_layout_iter_next_line(iter));
    pango_layout_iter_free(iter);
    g_object_unref(layout);
    return FALSE;
}

gboolean VellumGtkView::OnKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self) {
    auto* view = static_cast<VellumGtkView*>(self);
    switch (event->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
            // Wherever the focus is, Enter presses the default button.
            return gtk_window_activate_default(GTK_WINDOW(widget));
        case GDK_KEY_Escape:
            // Escape is not allowed to end the window without the action's
            // question: it runs the action, as the button does.
            view->RunActionLater();
            return TRUE;
        default:
            return FALSE;
    }
}

void VellumGtkView::OnClicked(GtkButton*, gpointer self) {
    static_cast<VellumGtkView*>(self)->RunActionLater();
}

void VellumGtkView::RunActionLater() {
    if (!action_ || pendingAction_)
        return;
    pendingAction_ = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* view = static_cast<VellumGtkView*>(data);
            view->pendingAction_ = 0;
            // A copy: the action may replace itself or end the window.
            const auto action = view->action_;
            if (action)
                action();
            return G_SOURCE_REMOVE;
        },
        this);
}

std::unique_ptr<VellumView> CreateVellumGtkView(MessageLoop&) {
    if (!gtkui::InitGtk())
        return nullptr;
    return std::make_unique<VellumGtkView>();
}

bool PickRepairFolderGtk(std::string& folder) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        "请选要修复的游戏目录", nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "取消",
        GTK_RESPONSE_CANCEL, "确定", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    const bool accepted = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT;
    if (accepted) {
        // Null for a location without a local path.
        gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        folder = path ? path : "";
        g_free(path);
    }
    gtk_widget_destroy(dialog);
    return accepted;
}

}  // namespace vellum
