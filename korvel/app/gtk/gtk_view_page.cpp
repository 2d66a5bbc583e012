// The updater window's page: the web view, the resources it is served
// from, its scripts, and the picture of the page shown until it paints.
#include "korvel/app/gtk/gtk_view.h"

#include "korvel/app/gtk/page_picture.h"
#include "korvel/res/resources.h"

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

void GtkView::LoadPagePicture() {
    picturePath_ = PagePicturePath(PagePictureFolder(),
                                   {res::FindResource(res::kTypeHtml, res::IDR_HTML_PAGE),
                                    res::FindResource(res::kTypeImage, res::IDR_PAGE_BACKGROUND)});
    savedPicture_ = gtkui::LoadPagePicture(picturePath_, layout_.clientWidth, layout_.clientHeight);
    if (savedPicture_)
        pagePicture_ = gdk_cairo_surface_create_from_pixbuf(savedPicture_, 1, nullptr);
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

}  // namespace gtkui
