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

// The page's address: the "res" scheme serves the program's resources, so
// the page's "res:/IMG/#142" and relative references resolve against it.
constexpr const char* kPageUri = "res:/HTML/#140";
constexpr const char* kScriptHandler = "korvel";
constexpr const char* kPaintedHandler = "painted";

// Sends clicks on the page's ButtonCancel to the program. The page's own
// oncancel() clicks that button.
constexpr const char* kPageScript = R"(
document.addEventListener('click', function (event) {
    var target = event.target;
    if (target && target.id === 'ButtonCancel')
        window.webkit.messageHandlers.korvel.postMessage('ButtonCancel');
}, true);
)";

// Tells the program when the page has painted with its background picture:
// two animation frames after the picture is decoded, the frame that shows
// it has been handed to the view.
constexpr const char* kPaintedScript = R"(
(function () {
    var painted = function () {
        requestAnimationFrame(function () {
            requestAnimationFrame(function () {
                window.webkit.messageHandlers.painted.postMessage('');
            });
        });
    };
    var match = /url\(["']?([^"')]*)["']?\)/.exec(getComputedStyle(document.body).backgroundImage);
    if (!match)
        return painted();
    var image = new Image();
    image.src = match[1];
    image.decode().then(painted, painted);
})();
)";

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

void ServeResource(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    std::string type;
    unsigned id = 0;
    std::string_view bytes;
    if (res::ParseResourceUri(uri ? uri : "", type, id))
        bytes = res::FindResource(type, id);
    if (bytes.empty()) {
        GError* error =
            g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no resource %s", uri ? uri : "");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    // The bytes are part of the program: the stream borrows them.
    GInputStream* stream = g_memory_input_stream_new_from_data(
        bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
    const std::string mediaType = res::ResourceMediaType(type, bytes);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(bytes.size()),
                                     mediaType.c_str());
    g_object_unref(stream);
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

    // The web view comes once the window is on its way to the screen
    // (StartPage).
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

void GtkView::LoadPagePicture() {
    picturePath_ = PagePicturePath(PagePictureFolder(),
                                   {res::FindResource(res::kTypeHtml, res::IDR_HTML_PAGE),
                                    res::FindResource(res::kTypeImage, res::IDR_PAGE_BACKGROUND)});
    savedPicture_ = gtkui::LoadPagePicture(picturePath_, layout_.clientWidth, layout_.clientHeight);
    if (savedPicture_)
        pagePicture_ = gdk_cairo_surface_create_from_pixbuf(savedPicture_, 1, nullptr);
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

void GtkView::StartPage() {
    if (web_ || !overlay_)
        return;
    BuildWebView();
    gtk_container_add(GTK_CONTAINER(overlay_), GTK_WIDGET(web_));
    g_signal_connect_after(web_, "draw", G_CALLBACK(OnDrawPageCover), this);
    gtk_widget_show(GTK_WIDGET(web_));
    // The web view's own window was made last: the bars and texts go back
    // above it.
    if (GdkWindow* above = gtk_widget_get_parent_window(fixed_))
        gdk_window_raise(above);
    webkit_web_view_load_uri(web_, kPageUri);
}

void GtkView::BuildWebView() {
    // Nothing of the page is kept on disk.
    context_ = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context_, "res", ServeResource, nullptr, nullptr);

    // Nothing the page does not use: no caches kept across loads, no media,
    // storage or GPU features.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::korvel", G_CALLBACK(OnScriptMessage), this);
    webkit_user_content_manager_register_script_message_handler(content, kScriptHandler);
    WebKitUserScript* script =
        webkit_user_script_new(kPageScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
    g_signal_connect(content, "script-message-received::painted", G_CALLBACK(OnPagePainted), this);
    webkit_user_content_manager_register_script_message_handler(content, kPaintedHandler);
    script = webkit_user_script_new(kPaintedScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_default_charset(settings, "GBK");
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_enable_html5_local_storage(settings, FALSE);
    webkit_settings_set_enable_html5_database(settings, FALSE);
    webkit_settings_set_enable_webgl(settings, FALSE);
    webkit_settings_set_enable_webaudio(settings, FALSE);
    webkit_settings_set_enable_media(settings, FALSE);
    webkit_settings_set_enable_mediasource(settings, FALSE);
    webkit_settings_set_enable_media_stream(settings, FALSE);
    webkit_settings_set_enable_media_capabilities(settings, FALSE);
    webkit_settings_set_enable_encrypted_media(settings, FALSE);
    webkit_settings_set_enable_webrtc(settings, FALSE);
    webkit_settings_set_enable_fullscreen(settings, FALSE);
    webkit_settings_set_enable_smooth_scrolling(settings, FALSE);
    webkit_settings_set_enable_2d_canvas_acceleration(settings, FALSE);
    webkit_settings_set_enable_site_specific_quirks(settings, FALSE);

    web_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_,
                                        "user-content-manager", content, "settings", settings,
                                        nullptr));
    g_object_unref(content);
    g_object_unref(settings);
    g_object_ref_sink(web_);

    // Until the page paints, the window's own background shows through.
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(web_, &transparent);

    g_signal_connect(web_, "button-press-event", G_CALLBACK(OnButtonPress), this);
    g_signal_connect(web_, "mouse-target-changed", G_CALLBACK(OnMouseTarget), this);
    g_signal_connect(web_, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(web_, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(web_, "context-menu", G_CALLBACK(gtk_true), nullptr);
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
        if (!web_) {
            // The window's own frame (with the page's last picture) goes
            // to the screen first; then the web view is made, before the
            // caller goes on, as its worker must not meet WebKit's start-up
            // half-way. The page paints when it is ready.
            DrawFirstFrame();
            StartPage();
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
    for (unsigned* source : {&pendingCancel_, &dropPicture_, &revealPage_}) {
        if (*source) {
            g_source_remove(*source);
            *source = 0;
        }
    }
    if (snapshot_) {
        g_cancellable_cancel(snapshot_);
        g_clear_object(&snapshot_);
    }
    if (web_) {
        g_signal_handlers_disconnect_by_data(web_, this);
        g_object_unref(web_);
        web_ = nullptr;
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
    if (context_) {
        g_object_unref(context_);
        context_ = nullptr;
    }
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

gboolean GtkView::OnDrawPageCover(GtkWidget* widget, cairo_t* cr, gpointer self) {
    // Until the page has painted, what the web view draws (a page still
    // without its background, drawn over what lies beneath) is covered with
    // what the window shows without it, so that the page appears at once.
    // The web view still draws each frame, as it waits for that.
    if (!static_cast<GtkView*>(self)->pageRevealed_)
        OnDrawBackground(widget, cr, self);
    return FALSE;
}

void GtkView::RevealPage() {
    if (pageRevealed_ || !web_)
        return;
    pageRevealed_ = true;
    gtk_widget_queue_draw(GTK_WIDGET(web_));
}

void GtkView::OnSnapshot(GObject* web, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    cairo_surface_t* surface =
        webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(web), result, &error);
    if (!surface) {
        // Cancelled means the view is gone.
        g_clear_error(&error);
        return;
    }
    auto* view = static_cast<GtkView*>(self);
    g_clear_object(&view->snapshot_);
    GdkPixbuf* shot = nullptr;
    if (cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_IMAGE &&
        cairo_image_surface_get_width(surface) == view->layout_.clientWidth &&
        cairo_image_surface_get_height(surface) == view->layout_.clientHeight)
        shot = gdk_pixbuf_get_from_surface(surface, 0, 0, view->layout_.clientWidth,
                                           view->layout_.clientHeight);
    cairo_surface_destroy(surface);
    // The next start shows this picture until its page has painted.
    if (shot && !SamePixels(shot, view->savedPicture_))
        SavePagePicture(view->picturePath_, shot);
    if (shot)
        g_object_unref(shot);
    // The live page covers the picture by now; it goes a little later, once
    // the page's frame has surely reached the screen.
    if (view->pagePicture_ && !view->dropPicture_) {
        view->dropPicture_ = g_timeout_add(
            500,
            [](gpointer data) -> gboolean {
                auto* v = static_cast<GtkView*>(data);
                v->dropPicture_ = 0;
                g_clear_pointer(&v->pagePicture_, cairo_surface_destroy);
                g_clear_object(&v->savedPicture_);
                return G_SOURCE_REMOVE;
            },
            view);
    }
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

void GtkView::OnMouseTarget(WebKitWebView*, WebKitHitTestResult* hit, guint, gpointer self) {
    static_cast<GtkView*>(self)->overLink_ = webkit_hit_test_result_context_is_link(hit) ||
                                             webkit_hit_test_result_context_is_editable(hit) ||
                                             webkit_hit_test_result_context_is_scrollbar(hit);
}

gboolean GtkView::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    // Links with a new-window target open in the user's browser.
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && *uri)
        g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

void GtkView::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    if (event != WEBKIT_LOAD_FINISHED)
        return;
    auto* view = static_cast<GtkView*>(self);
    view->pageLoaded_ = true;
    // Should the page never say it has painted, it shows a little after its
    // load all the same.
    if (!view->pageRevealed_ && !view->revealPage_) {
        view->revealPage_ = g_timeout_add(
            1000,
            [](gpointer data) -> gboolean {
                auto* v = static_cast<GtkView*>(data);
                v->revealPage_ = 0;
                v->RevealPage();
                return G_SOURCE_REMOVE;
            },
            view);
    }
}

void GtkView::OnPagePainted(WebKitUserContentManager*, gpointer, gpointer self) {
    // The page as it rendered, for the next start; once, as it only
    // depends on the page's bytes.
    auto* view = static_cast<GtkView*>(self);
    view->RevealPage();
    if (view->snapshot_ || view->snapshotTaken_ || !view->web_)
        return;
    view->snapshotTaken_ = true;
    view->snapshot_ = g_cancellable_new();
    webkit_web_view_get_snapshot(view->web_, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                 WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, view->snapshot_,
                                 OnSnapshot, view);
}

void GtkView::OnScriptMessage(WebKitUserContentManager*, gpointer, gpointer self) {
    // The page's cancel button. Handled from the loop rather than inside
    // WebKit's signal, as the handler runs a modal box.
    auto* view = static_cast<GtkView*>(self);
    if (view->pendingCancel_)
        return;
    view->pendingCancel_ = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* v = static_cast<GtkView*>(data);
            v->pendingCancel_ = 0;
            if (v->commands_.buttonCancel)
                v->commands_.buttonCancel();
            return G_SOURCE_REMOVE;
        },
        view);
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
