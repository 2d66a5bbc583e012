// The page module (korvel-page.so): the window's web view in WebKit, the
// "res" scheme it is served from and the page's scripts. Only
// korvel_web_page_new is exported.
#include <webkit2/webkit2.h>

#include <memory>

#include "korvel/app/gtk/web_page.h"

namespace gtkui {

namespace {

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

class Page final : public WebPage {
  public:
    explicit Page(const WebPageHost& host) : host_(host) { Build(); }
    ~Page() override;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    GtkWidget* Widget() override { return GTK_WIDGET(web_); }
    void Load(const std::string& uri) override { webkit_web_view_load_uri(web_, uri.c_str()); }
    void Snapshot(std::function<void(cairo_surface_t*)> done) override;

  private:
    struct PendingSnapshot {
        Page* page;
        std::function<void(cairo_surface_t*)> done;
    };

    void Build();
    using ResourceFinder = decltype(WebPageHost::resource);
    // Serves "res" addresses with the finder given as data.
    static void Serve(WebKitURISchemeRequest* request, gpointer finder);
    // Calls the host's function given as data.
    static void OnScriptMessage(WebKitUserContentManager* content, WebKitJavascriptResult* result,
                                gpointer call);
    static void OnMouseTarget(WebKitWebView* web, WebKitHitTestResult* hit, guint modifiers,
                              gpointer self);
    static gboolean OnDecidePolicy(WebKitWebView* web, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);
    static void OnLoadChanged(WebKitWebView* web, WebKitLoadEvent event, gpointer self);
    static void OnSnapshot(GObject* web, GAsyncResult* result, gpointer pending);

    WebPageHost host_;
    WebKitWebContext* context_ = nullptr;
    WebKitUserContentManager* content_ = nullptr;
    WebKitWebView* web_ = nullptr;
    GCancellable* snapshots_ = nullptr;
};

void Page::Build() {
    // Nothing of the page is kept on disk.
    context_ = webkit_web_context_new_ephemeral();
    // The context may outlive the page: it keeps a finder of its own.
    webkit_web_context_register_uri_scheme(
        context_, "res", Serve, new ResourceFinder(host_.resource),
        [](gpointer finder) { delete static_cast<ResourceFinder*>(finder); });
    // Nothing the page does not use: no caches kept across loads, no media,
    // storage or GPU features.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

    content_ = webkit_user_content_manager_new();
    g_signal_connect(content_, "script-message-received::korvel", G_CALLBACK(OnScriptMessage),
                     &host_.buttonCancel);
    webkit_user_content_manager_register_script_message_handler(content_, kScriptHandler);
    g_signal_connect(content_, "script-message-received::painted", G_CALLBACK(OnScriptMessage),
                     &host_.painted);
    webkit_user_content_manager_register_script_message_handler(content_, kPaintedHandler);
    for (const char* source : {kPageScript, kPaintedScript}) {
        WebKitUserScript* script =
            webkit_user_script_new(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
        webkit_user_content_manager_add_script(content_, script);
        webkit_user_script_unref(script);
    }

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
                                        "user-content-manager", content_, "settings", settings,
                                        nullptr));
    g_object_unref(settings);
    g_object_ref_sink(web_);

    // Until the page paints, what lies under the view shows through.
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(web_, &transparent);

    g_signal_connect(web_, "mouse-target-changed", G_CALLBACK(OnMouseTarget), this);
    g_signal_connect(web_, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(web_, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(web_, "context-menu", G_CALLBACK(gtk_true), nullptr);
}

Page::~Page() {
    if (snapshots_) {
        g_cancellable_cancel(snapshots_);
        g_object_unref(snapshots_);
    }
    g_signal_handlers_disconnect_by_data(web_, this);
    g_signal_handlers_disconnect_by_data(content_, &host_.buttonCancel);
    g_signal_handlers_disconnect_by_data(content_, &host_.painted);
    // The view may still be in a container, which then lets it go.
    g_object_unref(web_);
    g_object_unref(content_);
    g_object_unref(context_);
}

void Page::Serve(WebKitURISchemeRequest* request, gpointer finder) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const ResourceFinder& find = *static_cast<const ResourceFinder*>(finder);
    std::string_view bytes;
    std::string mediaType;
    if (!uri || !find || !find(uri, bytes, mediaType) || bytes.empty()) {
        GError* error =
            g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no resource %s", uri ? uri : "");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    // The bytes are part of the program: the stream borrows them.
    GInputStream* stream = g_memory_input_stream_new_from_data(
        bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(bytes.size()),
                                     mediaType.c_str());
    g_object_unref(stream);
}

void Page::Snapshot(std::function<void(cairo_surface_t*)> done) {
    if (!snapshots_)
        snapshots_ = g_cancellable_new();
    webkit_web_view_get_snapshot(web_, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                 WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, snapshots_,
                                 OnSnapshot, new PendingSnapshot{this, std::move(done)});
}

void Page::OnSnapshot(GObject* web, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingSnapshot> pending(static_cast<PendingSnapshot*>(data));
    GError* error = nullptr;
    cairo_surface_t* surface =
        webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(web), result, &error);
    // Cancelled means the page is gone.
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_clear_error(&error);
    if (!cancelled && pending->done)
        pending->done(surface);
    if (surface)
        cairo_surface_destroy(surface);
}

void Page::OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer call) {
    const auto& f = *static_cast<const std::function<void()>*>(call);
    if (f)
        f();
}

void Page::OnMouseTarget(WebKitWebView*, WebKitHitTestResult* hit, guint, gpointer self) {
    const WebPageHost& host = static_cast<Page*>(self)->host_;
    if (host.overActive)
        host.overActive(webkit_hit_test_result_context_is_link(hit) ||
                        webkit_hit_test_result_context_is_editable(hit) ||
                        webkit_hit_test_result_context_is_scrollbar(hit));
}

gboolean Page::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
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

void Page::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    const WebPageHost& host = static_cast<Page*>(self)->host_;
    if (event == WEBKIT_LOAD_FINISHED && host.loaded)
        host.loaded();
}

}  // namespace

}  // namespace gtkui

extern "C" __attribute__((visibility("default"))) gtkui::WebPage* korvel_web_page_new(
    int interface, const gtkui::WebPageHost* host) {
    if (interface != gtkui::kWebPageInterface || !host)
        return nullptr;
    return new gtkui::Page(*host);
}
