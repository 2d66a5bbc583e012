#include "korvel/app/gtk/gtk_view.h"

#include <algorithm>

#include "common/gtk/font_setup.h"
#include "common/gtk/gtk_init.h"
#include "common/gtk/gtk_message_box.h"
#include "common/gtk/template_controls.h"
#include "korvel/app/gtk/page_picture.h"
#include "korvel/res/dialog_template.h"
#include "korvel/res/resources.h"
#include "platform/codepage.h"

namespace gtkui {

namespace {

// Progress bars as the template draws them: smooth, with a thin border,
// filling the control's whole height (given in pixels).
std::string BarCss(int height) {
    const std::string inner = std::to_string(std::max(height - 2, 1)) + "px";
    return R"(
progressbar.korvel-bar { min-height: 0; min-width: 0; padding: 0; margin: 0; }
progressbar.korvel-bar trough {
    min-height: )" +
           inner + R"(; min-width: 0; padding: 0; margin: 0; border-radius: 0;
    border: 1px solid #6f6f6f; background-color: #ffffff; background-image: none;
    box-shadow: none;
}
progressbar.korvel-bar progress {
    min-height: )" +
           inner + R"(; min-width: 0; margin: 0; border: none; border-radius: 0;
    background-color: #2f6fd0; background-image: none; box-shadow: none;
}
)";
}

GdkPixbuf* LoadPixbuf(std::string_view bytes) {
    if (bytes.empty())
        return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(),
                                nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf)
            g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return pixbuf;
}

}  // namespace

GtkView::GtkView() = default;

GtkView::~GtkView() {
    Destroy();
}

void GtkView::Create(const std::string& title) {
    const dlg::DialogTemplate* tpl = res::FindDialogTemplate(res::IDD_KORVEL_DIALOG);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    gtk_widget_set_app_paintable(window_, TRUE);
    if (GdkPixbuf* icon = LoadPixbuf(res::FindResource(res::kTypeIcon, res::IDR_MAINFRAME))) {
        gtk_window_set_icon(GTK_WINDOW(window_), icon);
        g_object_unref(icon);
    }
    // The system's close request is ignored; the window ends by itself.
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
    // Enter is the dialog's OK command, Escape its cancel command.
    g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKeyPress), this);

    background_ = LoadPixbuf(res::FindResource(res::kTypeBitmap, res::IDB_BACKGROUND));

    GtkWidget* overlay = gtk_overlay_new();
    overlay_ = overlay;
    g_signal_connect(overlay, "draw", G_CALLBACK(OnDrawBackground), this);
    gtk_container_add(GTK_CONTAINER(window_), overlay);

    // The web view comes once the window is on screen (StartPage).
    GtkWidget* fixed = gtk_fixed_new();
    fixed_ = fixed;
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), fixed);
    gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), fixed, TRUE);

    // One child per template control, in template order, so that the
    // layout finds each of them.
    std::vector<int> childIds;
    for (const dlg::DialogControl& c : tpl->controls) {
        auto control = std::make_unique<Control>();
        control->id = c.id;
        control->view = this;
        control->bar = c.kind == dlg::ControlClass::ProgressBar;
        if (control->bar) {
            control->widget = gtk_progress_bar_new();
            gtk_style_context_add_class(gtk_widget_get_style_context(control->widget),
                                        "korvel-bar");
        } else {
            control->text = c.text;
            control->widget = gtk_drawing_area_new();
            g_signal_connect(control->widget, "draw", G_CALLBACK(OnDrawStatic), control.get());
        }
        childIds.push_back(c.id);
        controls_.push_back(std::move(control));
    }

    layout_ = PlaceTemplateControls(
        window_, fixed, *tpl, childIds, [&](std::size_t i) { return controls_[i]->widget; },
        [](const TemplateLayout&, int barHeight) { return BarCss(barHeight); }, &css_);
    font_ = FontDescription(layout_.font);
    gtk_widget_set_size_request(overlay, layout_.clientWidth, layout_.clientHeight);
    gtk_widget_show_all(overlay);
    LoadPagePicture();
}

void GtkView::DrawFirstFrame() {
    struct Wait {
        bool drawn = false;
        bool late = false;
    } wait;
    const gulong drawn = g_signal_connect_after(
        window_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer data) -> gboolean {
            static_cast<Wait*>(data)->drawn = true;
            return FALSE;
        }),
        &wait);
    // A window that is not drawn soon (no frame comes while it is hidden
    // away) does not hold the start-up up for long.
    const guint late = g_timeout_add(
        500,
        [](gpointer data) -> gboolean {
            static_cast<Wait*>(data)->late = true;
            return G_SOURCE_REMOVE;
        },
        &wait);
    while (!wait.drawn && !wait.late)
        g_main_context_iteration(nullptr, TRUE);
    if (!wait.late)
        g_source_remove(late);
    g_signal_handler_disconnect(window_, drawn);
    gdk_display_flush(gtk_widget_get_display(window_));
}

GtkView::Control* GtkView::Find(int controlId) {
    for (auto& c : controls_) {
        if (c->id == controlId)
            return c.get();
    }
    return nullptr;
}

const GtkView::Control* GtkView::Find(int controlId) const {
    return const_cast<GtkView*>(this)->Find(controlId);
}

GtkWidget* GtkView::ControlWidget(int controlId) const {
    const auto* c = Find(controlId);
    return c ? c->widget : nullptr;
}

std::string GtkView::Text(int controlId) const {
    const auto* c = Find(controlId);
    return c ? c->text : std::string();
}

void GtkView::SetText(int controlId, const std::string& text) {
    auto* c = Find(controlId);
    if (!c || c->bar)
        return;
    const std::string shown = platform::DisplayText(text);
    if (shown == c->text)
        return;
    c->text = shown;
    // Redraws the page under the text as well, so nothing of a longer
    // previous text stays.
    gtk_widget_queue_draw(c->widget);
}

void GtkView::SetBar(int controlId, int position) {
    auto* c = Find(controlId);
    if (!c || !c->bar)
        return;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(c->widget),
                                  std::clamp(position, 0, 100) / 100.0);
}

void GtkView::RepaintBehind(int controlId) {
    // GTK draws the statics over the page each time: invalidating the
    // control's area brings back what lies under it.
    if (auto* c = Find(controlId))
        gtk_widget_queue_draw(c->widget);
}

void GtkView::ShowWindow(bool visible) {
    if (!window_)
        return;
    if (visible) {
        gtk_widget_show(window_);
        gtk_window_present(GTK_WINDOW(window_));
        if (!page_ && !pageStart_ && !startPage_) {
            // The window's own frame (with the page's last picture) goes
            // to the screen first. The page is started from the loop, once
            // the caller has gone on (and started its worker: a thread made
            // while the page module loads waits for the dynamic loader).
            DrawFirstFrame();
            startPage_ = g_idle_add(
                [](gpointer data) -> gboolean {
                    auto* view = static_cast<GtkView*>(data);
                    view->startPage_ = 0;
                    view->StartPage();
                    return G_SOURCE_REMOVE;
                },
                this);
        }
    } else {
        gtk_widget_hide(window_);
    }
}

int GtkView::MessageBox(const platform::MessageBoxSpec& box) {
    GtkWindow* parent = nullptr;
    if (box.owner && window_ && gtk_widget_get_visible(window_))
        parent = GTK_WINDOW(window_);
    return RunMessageDialog(parent, box);
}

void GtkView::Destroy() {
    for (unsigned* source : {&startPage_, &pendingCancel_, &dropPicture_, &revealPage_}) {
        if (*source) {
            g_source_remove(*source);
            *source = 0;
        }
    }
    // A page module still loading makes no page for this window.
    if (pageStart_) {
        *pageStart_ = nullptr;
        pageStart_.reset();
    }
    if (page_) {
        g_signal_handlers_disconnect_by_data(page_->Widget(), this);
        page_.reset();
    }
    if (window_) {
        gtk_widget_destroy(window_);
        g_object_unref(window_);
        window_ = nullptr;
    }
    overlay_ = fixed_ = nullptr;
    controls_.clear();
    g_clear_object(&savedPicture_);
    g_clear_pointer(&pagePicture_, cairo_surface_destroy);
    if (css_) {
        gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(),
                                                     GTK_STYLE_PROVIDER(css_));
        g_object_unref(css_);
        css_ = nullptr;
    }
    if (background_) {
        g_object_unref(background_);
        background_ = nullptr;
    }
    if (font_) {
        pango_font_description_free(font_);
        font_ = nullptr;
    }
}

gboolean GtkView::OnDrawBackground(GtkWidget*, cairo_t* cr, gpointer self) {
    // Background erase: the bitmap 1:1 from the top-left corner.
    auto* view = static_cast<GtkView*>(self);
    if (view->background_) {
        gdk_cairo_set_source_pixbuf(cr, view->background_, 0, 0);
        cairo_paint(cr);
    }
    // The page as it last rendered, under the web view, which stays
    // transparent until the live page paints.
    if (view->pagePicture_) {
        cairo_set_source_surface(cr, view->pagePicture_, 0, 0);
        cairo_paint(cr);
    }
    return FALSE;
}

gboolean GtkView::OnDrawStatic(GtkWidget* widget, cairo_t* cr, gpointer data) {
    // Transparent static: black text straight onto what lies beneath.
    auto* control = static_cast<GtkView::Control*>(data);
    if (control->text.empty())
        return FALSE;
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, control->text.c_str());
    pango_layout_set_font_description(layout, control->view->font_);
    pango_layout_set_width(layout, gtk_widget_get_allocated_width(widget) * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, 0, 0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    return FALSE;
}

gboolean GtkView::OnButtonPress(GtkWidget*, GdkEventButton* event, gpointer self) {
    // A left press anywhere but on a link moves the window.
    auto* view = static_cast<GtkView*>(self);
    if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY || view->overLink_)
        return FALSE;
    gtk_window_begin_move_drag(GTK_WINDOW(view->window_), static_cast<gint>(event->button),
                               static_cast<gint>(event->x_root), static_cast<gint>(event->y_root),
                               event->time);
    return TRUE;
}

gboolean GtkView::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
    auto* view = static_cast<GtkView*>(self);
    switch (event->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
            view->RunCommandLater(view->commands_.ok);
            return TRUE;
        case GDK_KEY_Escape:
            view->RunCommandLater(view->commands_.cancel);
            return TRUE;
        default:
            return FALSE;
    }
}

void GtkView::RunCommandLater(const std::function<void()>& command) {
    if (!command)
        return;
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(command),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

}  // namespace gtkui

namespace gtkui {

std::unique_ptr<KorvelView> CreateGtkView(MessageLoop&) {
    if (!InitGtk())
        return nullptr;
    return std::make_unique<GtkView>();
}

}  // namespace gtkui
