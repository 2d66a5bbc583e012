// The updater window's page: the page module loaded and its web view made
// once the window is on screen, the resources the page is served from, and
// the picture of the page shown until it paints.
#include <cstdio>
#include <system_error>
#include <thread>

#include "korvel/app/gtk/gtk_view.h"
#include "korvel/app/gtk/page_module.h"
#include "korvel/app/gtk/page_picture.h"
#include "korvel/res/resources.h"

namespace gtkui {

namespace {

// The page's address: the "res" scheme serves the program's resources, so
// the page's "res:/IMG/#142" and relative references resolve against it.
constexpr const char* kPageUri = "res:/HTML/#140";

bool FindPageResource(const std::string& uri, std::string_view& bytes, std::string& mediaType) {
    std::string type;
    unsigned id = 0;
    if (!res::ParseResourceUri(uri, type, id))
        return false;
    bytes = res::FindResource(type, id);
    if (bytes.empty())
        return false;
    mediaType = res::ResourceMediaType(type, bytes);
    return true;
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
    if (page_ || pageStart_ || !overlay_)
        return;
    // The module brings WebKit, whose libraries take the dynamic loader a
    // while: that happens on a thread of its own, so that the window keeps
    // drawing what the worker tells it meanwhile.
    pageStart_ = std::make_shared<GtkView*>(this);
    auto load = [start = pageStart_] {
        struct Loaded {
            std::shared_ptr<GtkView*> start;
            WebPageMaker maker;
            std::string error;
        };
        auto* loaded = new Loaded{start, nullptr, {}};
        loaded->maker = LoadWebPageModule(loaded->error);
        // Always through the loop, which runs on the window's thread.
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                auto* l = static_cast<Loaded*>(data);
                if (GtkView* view = *l->start)
                    view->MakePage(l->maker, l->error);
                return G_SOURCE_REMOVE;
            },
            loaded, [](gpointer data) { delete static_cast<Loaded*>(data); });
    };
    try {
        std::thread(load).detach();
    } catch (const std::system_error&) {
        // No thread to be had: loaded here, the page is made from the loop.
        load();
    }
}

void GtkView::MakePage(WebPageMaker maker, const std::string& error) {
    if (page_ || !overlay_)
        return;
    WebPageHost host;
    host.resource = FindPageResource;
    host.loaded = [this] { OnPageLoaded(); };
    host.painted = [this] { OnPagePainted(); };
    host.buttonCancel = [this] { OnPageCancel(); };
    host.overActive = [this](bool over) { overLink_ = over; };
    if (maker)
        page_.reset(maker(kWebPageInterface, &host));
    if (!page_) {
        // The window goes on without its page (and its links); the page's
        // last picture, when there is one, stays in its place.
        pageUnavailable_ = true;
        std::fprintf(stderr, "korvel: the window's page is not available: %s\n",
                     error.empty() ? "the page module refused to make it" : error.c_str());
        return;
    }
    GtkWidget* web = page_->Widget();
    gtk_container_add(GTK_CONTAINER(overlay_), web);
    g_signal_connect(web, "button-press-event", G_CALLBACK(OnButtonPress), this);
    g_signal_connect_after(web, "draw", G_CALLBACK(OnDrawPageCover), this);
    gtk_widget_show(web);
    // The web view's own window was made last: the bars and texts go back
    // above it.
    if (GdkWindow* above = gtk_widget_get_parent_window(fixed_))
        gdk_window_raise(above);
    page_->Load(kPageUri);
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
    if (pageRevealed_ || !page_)
        return;
    pageRevealed_ = true;
    gtk_widget_queue_draw(page_->Widget());
}

void GtkView::OnSnapshot(cairo_surface_t* surface) {
    GdkPixbuf* shot = nullptr;
    if (surface && cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_IMAGE &&
        cairo_image_surface_get_width(surface) == layout_.clientWidth &&
        cairo_image_surface_get_height(surface) == layout_.clientHeight)
        shot =
            gdk_pixbuf_get_from_surface(surface, 0, 0, layout_.clientWidth, layout_.clientHeight);
    // The next start shows this picture until its page has painted.
    if (shot && !SamePixels(shot, savedPicture_))
        SavePagePicture(picturePath_, shot);
    if (shot)
        g_object_unref(shot);
    // The live page covers the picture by now; it goes a little later, once
    // the page's frame has surely reached the screen.
    if (pagePicture_ && !dropPicture_) {
        dropPicture_ = g_timeout_add(
            500,
            [](gpointer data) -> gboolean {
                auto* v = static_cast<GtkView*>(data);
                v->dropPicture_ = 0;
                g_clear_pointer(&v->pagePicture_, cairo_surface_destroy);
                g_clear_object(&v->savedPicture_);
                return G_SOURCE_REMOVE;
            },
            this);
    }
}

void GtkView::OnPageLoaded() {
    pageLoaded_ = true;
    // Should the page never say it has painted, it shows a little after its
    // load all the same.
    if (!pageRevealed_ && !revealPage_) {
        revealPage_ = g_timeout_add(
            1000,
            [](gpointer data) -> gboolean {
                auto* v = static_cast<GtkView*>(data);
                v->revealPage_ = 0;
                v->RevealPage();
                return G_SOURCE_REMOVE;
            },
            this);
    }
}

void GtkView::OnPagePainted() {
    RevealPage();
    // The page as it rendered, for the next start; once, as it only
    // depends on the page's bytes.
    if (snapshotTaken_ || !page_)
        return;
    snapshotTaken_ = true;
    page_->Snapshot([this](cairo_surface_t* surface) { OnSnapshot(surface); });
}

void GtkView::OnPageCancel() {
    // The page's cancel button. Handled from the loop rather than inside
    // WebKit's signal, as the handler runs a modal box.
    if (pendingCancel_)
        return;
    pendingCancel_ = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* v = static_cast<GtkView*>(data);
            v->pendingCancel_ = 0;
            if (v->commands_.buttonCancel)
                v->commands_.buttonCancel();
            return G_SOURCE_REMOVE;
        },
        this);
}

}  // namespace gtkui
