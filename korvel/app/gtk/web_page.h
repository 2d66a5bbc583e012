// The window's page in a web view, as the window sees it. Everything that
// needs WebKit lives in a module of its own (korvel-page.so, web_page.cpp)
// that the window loads once its first frame is on screen: a program that
// links WebKit spends a long time in the dynamic loader before main().
//
// The module and the program are built together from this header; the
// interface number guards against a module from another build.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <string_view>

namespace gtkui {

inline constexpr int kWebPageInterface = 1;

// What the page asks of the window and tells it. Called on the GTK thread.
struct WebPageHost {
    // The bytes and media type behind an address of the page's "res"
    // scheme; false when there is no such resource. The bytes must stay
    // valid as long as the program runs.
    std::function<bool(const std::string& uri, std::string_view& bytes, std::string& mediaType)>
        resource;
    // The page has finished loading.
    std::function<void()> loaded;
    // The page has painted with its background picture.
    std::function<void()> painted;
    // The page's cancel button was clicked.
    std::function<void()> buttonCancel;
    // The pointer went onto or off something the page handles itself (a
    // link, an edit field, a scroll bar).
    std::function<void(bool)> overActive;
};

class WebPage {
  public:
    virtual ~WebPage() = default;
    // The web view; it stays the page's, the caller adds it to a container.
    virtual GtkWidget* Widget() = 0;
    // Loads the page at the address, with the page's scripts.
    virtual void Load(const std::string& uri) = 0;
    // A picture of the visible page with a transparent background; null
    // when none could be taken. Not called once the page is gone.
    virtual void Snapshot(std::function<void(cairo_surface_t*)> done) = 0;
};

// The module's entry point, "korvel_web_page_new": a new page, or null when
// the interface number is not the module's.
using WebPageMaker = WebPage* (*)(int interface, const WebPageHost* host);
inline constexpr const char* kWebPageMakerName = "korvel_web_page_new";

}  // namespace gtkui
