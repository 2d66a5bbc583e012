// The updater's window in GTK 3: an undecorated window whose client area is
// the page (a web view from the page module, web_page.h) with the
// template's progress bars and texts laid over it at the pixels
// ApplyTemplateLayout gives.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/gtk/gtk_init.h"
#include "common/template_layout.h"
#include "korvel/app/gtk/web_page.h"
#include "korvel/app/korvel_view.h"

namespace gtkui {

class GtkView : public KorvelView {
  public:
    GtkView();
    ~GtkView() override;
    GtkView(const GtkView&) = delete;
    GtkView& operator=(const GtkView&) = delete;

    void Create(const std::string& title) override;
    void SetText(int controlId, const std::string& text) override;
    void SetBar(int controlId, int position) override;
    void RepaintBehind(int controlId) override;
    void ShowWindow(bool visible) override;
    int MessageBox(const platform::MessageBoxSpec& box) override;
    void Destroy() override;

    // What the window is made of (null before Create and after Destroy).
    GtkWindow* Window() const { return window_ ? GTK_WINDOW(window_) : nullptr; }
    // The page's web view, once the page module has made it.
    GtkWidget* PageWidget() const { return page_ ? page_->Widget() : nullptr; }
    GtkWidget* ControlWidget(int controlId) const;
    const TemplateLayout& Layout() const { return layout_; }
    std::string Text(int controlId) const;
    // The page has finished loading.
    bool PageLoaded() const { return pageLoaded_; }
    // The page module could not be loaded or made no page: the window goes
    // on without the page.
    bool PageUnavailable() const { return pageUnavailable_; }
    // The picture of the page from an earlier run is shown under the web
    // view (until the live page has painted over it).
    bool ShowsPagePicture() const { return pagePicture_ != nullptr; }
    // Where that picture is kept (named after the page's bytes).
    const std::string& PagePictureFile() const { return picturePath_; }

  private:
    struct Control {
        int id = 0;
        bool bar = false;
        GtkWidget* widget = nullptr;
        std::string text;  // statics
        GtkView* view = nullptr;
    };

    // Loads the page module away from the window's thread once the window
    // is on screen; the page is made when it is there.
    void StartPage();
    void MakePage(WebPageMaker maker, const std::string& error);
    // Turns the loop until the shown window has drawn its first frame.
    void DrawFirstFrame();
    void LoadPagePicture();
    Control* Find(int controlId);
    const Control* Find(int controlId) const;

    static gboolean OnDrawBackground(GtkWidget* widget, cairo_t* cr, gpointer self);
    static gboolean OnDrawStatic(GtkWidget* widget, cairo_t* cr, gpointer control);
    static gboolean OnButtonPress(GtkWidget* widget, GdkEventButton* event, gpointer self);
    static gboolean OnDrawPageCover(GtkWidget* widget, cairo_t* cr, gpointer self);
    static gboolean OnKeyPress(GtkWidget* widget, GdkEventKey* event, gpointer self);
    // What the page tells the window.
    void OnPageLoaded();
    void OnPagePainted();
    void OnPageCancel();
    void OnSnapshot(cairo_surface_t* surface);
    // From then on the web view's own drawing is shown.
    void RevealPage();
    // Runs a command from the loop rather than inside a toolkit signal, as
    // it may show a modal box.
    void RunCommandLater(const std::function<void()>& command);

    GtkWidget* window_ = nullptr;
    GtkWidget* overlay_ = nullptr;  // owned by the window
    GtkWidget* fixed_ = nullptr;    // owned by the window
    std::unique_ptr<WebPage> page_;
    // Shared with the thread that loads the page module; null once the
    // window is gone.
    std::shared_ptr<GtkView*> pageStart_;
    GdkPixbuf* background_ = nullptr;
    GtkCssProvider* css_ = nullptr;
    PangoFontDescription* font_ = nullptr;
    TemplateLayout layout_;
    std::vector<std::unique_ptr<Control>> controls_;
    bool overLink_ = false;
    bool pageLoaded_ = false;
    bool pageUnavailable_ = false;
    unsigned startPage_ = 0;                  // GLib source id of the page's start
    unsigned pendingCancel_ = 0;              // GLib source id of a deferred page cancel
    unsigned dropPicture_ = 0;                // GLib source id of the page picture's end
    std::string picturePath_;                 // the page picture's file
    GdkPixbuf* savedPicture_ = nullptr;       // as read from the file
    cairo_surface_t* pagePicture_ = nullptr;  // drawn under the web view
    bool snapshotTaken_ = false;
    bool pageRevealed_ = false;
    unsigned revealPage_ = 0;  // GLib source id of the page's reveal after its load
};

}  // namespace gtkui

class MessageLoop;

namespace gtkui {

// The windowed view for the view factory: opens the display and gives the
// GTK window, or null when there is no display to open.
std::unique_ptr<KorvelView> CreateGtkView(MessageLoop& loop);

}  // namespace gtkui
