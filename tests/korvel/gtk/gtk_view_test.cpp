// The GTK view and its parts in this process: font measuring (no display
// needed), then the window, its page and its message boxes on a private X
// server.
#include "korvel/app/gtk/gtk_view.h"

#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "common/gtk/font_setup.h"
#include "common/gtk/gtk_message_box.h"
#include "korvel/app/gtk/page_module.h"
#include "korvel/app/gtk/page_picture.h"
#include "korvel/app/messages.h"
#include "korvel/res/dialog_template.h"
#include "tests/support/gtk_display.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Iterate;

std::vector<int> TemplateChildIds() {
    std::vector<int> ids;
    for (const auto& c : res::FindDialogTemplate(res::IDD_KORVEL_DIALOG)->controls)
        ids.push_back(c.id);
    return ids;
}

// The Song face of the template, through the program's aliases, measures
// the same at any screen resolution and lays the window out at 437 x 463.
TEST(FontSetup, SongFaceGivesThePictureLayoutAtEveryResolution) {
    ASSERT_TRUE(gtkui::InstallFontAliases());
    const dlg::DialogTemplate& tpl = *res::FindDialogTemplate(res::IDD_KORVEL_DIALOG);
    for (const char* face : {"宋体", "SimSun"})
        EXPECT_EQ(gtkui::ResolvedFamily({face, 12, 0, false}), gtkui::kSongFace) << face;
    for (double dpi : {96.0, 120.0, 144.0}) {
        const FontMetrics m = gtkui::MeasureFont({"宋体", 12, 0, false}, dpi);
        EXPECT_EQ(m.textHeight, 12) << dpi;
        EXPECT_EQ(m.alphabetWidth, 312) << dpi;
        const TemplateLayout layout = ApplyTemplateLayout(
            tpl, 96, [&](const FontRequest& f) { return gtkui::MeasureFont(f, dpi); },
            TemplateChildIds());
        EXPECT_EQ(layout.clientWidth, 437) << dpi;
        EXPECT_EQ(layout.clientHeight, 463) << dpi;
    }
    // The pixel size is what counts: a larger request measures larger.
    EXPECT_GT(gtkui::MeasureFont({"宋体", 16, 0, false}).alphabetWidth, 312);
}

class GtkViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!testing_support::GtkDisplayReady(why))
            GTEST_SKIP() << why;
        gtkui::SetWebPageModulePath(KORVEL_PAGE_MODULE);
        view_.SetCommands({[this] { ++ok_; }, [this] { ++buttonCancel_; }, [this] { ++cancel_; }});
        view_.Create("《ZorniaII》更新程序");
        view_.ShowWindow(true);
    }

    bool WaitForPage() {
        return Iterate([&] { return view_.PageLoaded(); }, 20s);
    }

    // Runs an async JavaScript function body in the page; gives its result
    // as text.
    std::string Script(const std::string& body) {
        struct Result {
            bool done = false;
            std::string text;
        } result;
        webkit_web_view_call_async_javascript_function(
            WEBKIT_WEB_VIEW(view_.PageWidget()), body.c_str(), -1, nullptr, nullptr, nullptr,
            nullptr,
            [](GObject* web, GAsyncResult* async, gpointer data) {
                auto* r = static_cast<Result*>(data);
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(web), async, &error);
                if (value) {
                    gchar* text = jsc_value_to_string(value);
                    r->text = text;
                    g_free(text);
                    g_object_unref(value);
                } else {
                    r->text = std::string("error: ") + (error ? error->message : "?");
                    g_clear_error(&error);
                }
                r->done = true;
            },
            &result);
        Iterate([&] { return result.done; }, 20s);
        return result.text;
    }

    // The window drawn into a picture, as GTK paints it.
    cairo_surface_t* Draw() {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(view_.Window()));
        cairo_surface_t* surface =
            cairo_image_surface_create(CAIRO_FORMAT_RGB24, gtk_widget_get_allocated_width(child),
                                       gtk_widget_get_allocated_height(child));
        cairo_t* cr = cairo_create(surface);
        gtk_widget_draw(child, cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        return surface;
    }

    gtkui::GtkView view_;
    int ok_ = 0;
    int buttonCancel_ = 0;
    int cancel_ = 0;
};

TEST_F(GtkViewTest, WindowAndControlsSitAtTheLayoutPixels) {
    GtkWindow* window = view_.Window();
    ASSERT_TRUE(Iterate([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
    EXPECT_FALSE(gtk_window_get_decorated(window));
    EXPECT_FALSE(gtk_window_get_resizable(window));
    EXPECT_STREQ(gtk_window_get_title(window), "《ZorniaII》更新程序");
    EXPECT_NE(gtk_window_get_icon(window), nullptr);
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    EXPECT_EQ(width, 437);
    EXPECT_EQ(height, 463);

    const TemplateLayout& layout = view_.Layout();
    ASSERT_EQ(layout.controls.size(), 10u);
    for (const int id : {IDC_PROGRESS_DOWNLOAD, IDC_PROGRESS_UPDATE, IDC_TEXT_FILE, IDC_TEXT_TOTAL,
                         IDC_TEXT_STATUS, IDC_TEXT_DONE, IDC_TEXT_PROGRESS}) {
        const auto placed = std::find_if(layout.controls.begin(), layout.controls.end(),
                                         [&](const PlacedControl& p) { return p.id == id; });
        ASSERT_NE(placed, layout.controls.end()) << id;
        GtkWidget* widget = view_.ControlWidget(id);
        ASSERT_NE(widget, nullptr) << id;
        GtkAllocation a;
        gtk_widget_get_allocation(widget, &a);
        EXPECT_EQ(LayoutRect({a.x, a.y, a.width, a.height}), placed->rect) << id;
    }
    EXPECT_EQ(view_.Text(IDC_TEXT_PROGRESS), "更新进度");
}

TEST_F(GtkViewTest, PageComesFromTheProgramsResources) {
    ASSERT_TRUE(WaitForPage());
    EXPECT_EQ(Script("return document.characterSet;"), "GBK");
    EXPECT_EQ(Script("return Array.from(document.querySelectorAll('#buttons a'), a => "
                     "a.textContent).join('|');"),
              "手动下载方法及补丁下载|官方主页|取消下载");
    // The page's picture address works literally; the id after "#" counts.
    const char* load = R"(
        return await new Promise(done => {
            const image = new Image();
            image.onload = () => done(image.naturalWidth + 'x' + image.naturalHeight);
            image.onerror = () => done('error');
            image.src = src;
        });)";
    auto loadImage = [&](const char* src) {
        return Script(std::string("const src = '") + src + "';" + load);
    };
    EXPECT_EQ(loadImage("res:/IMG/#142"), "437x463");
    EXPECT_EQ(loadImage("res:/BITMAP/#129"), "437x463");
    EXPECT_EQ(loadImage("res:/IMG/#141"), "error");
    EXPECT_EQ(Script("return getComputedStyle(document.body).backgroundImage;"),
              "url(\"res:/IMG/#142\")");
}

TEST_F(GtkViewTest, CancelLinkReachesTheDialogOnce) {
    ASSERT_TRUE(WaitForPage());
    Script("document.querySelectorAll('#buttons a')[2].click(); return '';");
    EXPECT_TRUE(Iterate([&] { return buttonCancel_ > 0; }));
    Iterate([] { return false; }, 200ms);
    EXPECT_EQ(buttonCancel_, 1);
    EXPECT_EQ(ok_, 0);
    // Other links and clicks elsewhere do not cancel.
    Script("document.body.click(); document.getElementById('note').click(); return '';");
    Iterate([] { return false; }, 200ms);
    EXPECT_EQ(buttonCancel_, 1);
}

TEST_F(GtkViewTest, EnterIsTheOkCommandAndEscapeTheCancelCommand) {
    struct Case {
        guint key;
        int ok, cancel;
    } cases[] = {{GDK_KEY_Return, 1, 0},
                 {GDK_KEY_KP_Enter, 1, 0},
                 {GDK_KEY_Escape, 0, 1},
                 {GDK_KEY_a, 0, 0}};
    for (const auto& c : cases) {
        ok_ = cancel_ = 0;
        GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
        event->key.window =
            GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(view_.Window()))));
        event->key.keyval = c.key;
        gdk_event_set_device(
            event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
        gboolean handled = FALSE;
        g_signal_emit_by_name(view_.Window(), "key-press-event", event, &handled);
        gdk_event_free(event);
        // The command runs later, from the loop.
        if (c.ok + c.cancel > 0) {
            Iterate([&] { return ok_ + cancel_ >= c.ok + c.cancel; }, 10s);
        }
        Iterate([] { return false; }, 200ms);
        EXPECT_EQ(ok_, c.ok) << c.key;
        EXPECT_EQ(cancel_, c.cancel) << c.key;
        EXPECT_EQ(buttonCancel_, 0) << c.key;
    }
}

TEST_F(GtkViewTest, ShorterTextLeavesNothingOfTheLonger) {
    ASSERT_TRUE(WaitForPage());
    Iterate([] { return false; }, 300ms);
    const LayoutRect status = [&] {
        for (const auto& p : view_.Layout().controls)
            if (p.id == IDC_TEXT_STATUS)
                return p.rect;
        return LayoutRect{};
    }();
    auto region = [&](cairo_surface_t* s) {
        std::vector<std::uint32_t> pixels;
        const int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        // From 60 pixels in, past where the short text ends.
        for (int y = status.y; y < status.y + status.height; ++y)
            for (int x = status.x + 60; x < status.x + status.width; ++x)
                pixels.push_back(
                    *reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4) & 0xFFFFFF);
        return pixels;
    };

    view_.SetText(IDC_TEXT_STATUS, "");
    Iterate([] { return false; }, 100ms);
    cairo_surface_t* empty = Draw();
    view_.RepaintBehind(IDC_TEXT_STATUS);
    view_.SetText(IDC_TEXT_STATUS, "正在下载补丁文件 zornia_1.0.3.dat, 已完成 98%, 请稍候");
    Iterate([] { return false; }, 100ms);
    cairo_surface_t* longText = Draw();
    view_.RepaintBehind(IDC_TEXT_STATUS);
    view_.SetText(IDC_TEXT_STATUS, "完成");
    Iterate([] { return false; }, 100ms);
    cairo_surface_t* shortText = Draw();

    EXPECT_NE(region(longText), region(empty)) << "the long text is drawn";
    EXPECT_EQ(region(shortText), region(empty)) << "remains of the long text";
    EXPECT_EQ(view_.Text(IDC_TEXT_STATUS), "完成");
    cairo_surface_destroy(empty);
    cairo_surface_destroy(longText);
    cairo_surface_destroy(shortText);
}

TEST_F(GtkViewTest, GbkTextsAreShownAsTheirCharacters) {
    view_.SetText(IDC_TEXT_FILE, "\xb2\xb9\xb6\xa1.dat");  // "补丁.dat" in GBK
    EXPECT_EQ(view_.Text(IDC_TEXT_FILE), "补丁.dat");
    view_.SetText(IDC_TEXT_FILE, "patch 1.0.1");
    EXPECT_EQ(view_.Text(IDC_TEXT_FILE), "patch 1.0.1");
}

// A window shows the page as an earlier window rendered it until its own
// page has painted; a damaged picture file is not used.
TEST_F(GtkViewTest, PagePictureOfTheLastRunShowsUntilThePagePaints) {
    const std::string path = view_.PagePictureFile();
    EXPECT_EQ(path.rfind(gtkui::PagePictureFolder() + "/page-", 0), 0u) << path;
    ASSERT_TRUE(WaitForPage());
    ASSERT_TRUE(Iterate([&] { return g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR); }, 20s));
    {
        gtkui::GtkView next;
        next.Create("《ZorniaII》更新程序");
        EXPECT_TRUE(next.ShowsPagePicture());
        next.ShowWindow(true);
        EXPECT_TRUE(Iterate([&] { return next.PageLoaded() && !next.ShowsPagePicture(); }, 20s));
    }
    const std::string saved = testing_support::ReadFile(path);
    testing_support::WriteFile(path, saved.substr(0, saved.size() - 100));
    {
        gtkui::GtkView next;
        next.Create("《ZorniaII》更新程序");
        EXPECT_FALSE(next.ShowsPagePicture());
        // The page writes its picture again.
        next.ShowWindow(true);
        EXPECT_TRUE(
            Iterate([&] { return testing_support::ReadFile(path).size() == saved.size(); }, 20s));
    }
}

// Without its page module the window still shows, with its bars, texts and
// commands; only the page is missing.
TEST(GtkViewWithoutPageModule, WindowGoesOnWithoutThePage) {
    std::string why;
    if (!testing_support::GtkDisplayReady(why))
        GTEST_SKIP() << why;
    if (gtkui::WebPageModuleLoaded())
        GTEST_SKIP() << "the page module is loaded in this process already";
    testing_support::TempDir empty;
    gtkui::SetWebPageModulePath(empty.Sub("korvel-page.so"));
    int cancel = 0;
    gtkui::GtkView view;
    view.SetCommands({nullptr, nullptr, [&] { ++cancel; }});
    view.Create("《ZorniaII》更新程序");
    view.ShowWindow(true);
    EXPECT_TRUE(Iterate([&] { return view.PageUnavailable(); }, 20s));
    EXPECT_EQ(view.PageWidget(), nullptr);
    EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(view.Window())));
    view.SetText(IDC_TEXT_STATUS, "完成");
    EXPECT_EQ(view.Text(IDC_TEXT_STATUS), "完成");

    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(view.Window()))));
    event->key.keyval = GDK_KEY_Escape;
    gdk_event_set_device(
        event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gboolean handled = FALSE;
    g_signal_emit_by_name(view.Window(), "key-press-event", event, &handled);
    gdk_event_free(event);
    EXPECT_TRUE(Iterate([&] { return cancel == 1; }, 10s));
    gtkui::SetWebPageModulePath(KORVEL_PAGE_MODULE);
}

// Boxes asked for by another thread appear on the window thread, keep the
// loop running, and hand the answer back.
TEST_F(GtkViewTest, MessageBoxesFromAWorkerThread) {
    using platform::MbButtons;
    using platform::MbIcon;
    struct Case {
        MbButtons buttons;
        MbIcon icon;
        int defaultButton;
        bool topMost;
        std::vector<std::string> labels;
        const char* iconName;
        int expectedDefault;
        int answer;
    } cases[] = {
        {MbButtons::YesNo,
         MbIcon::Question,
         1,
         true,
         {"是", "否"},
         "dialog-question",
         platform::IDNO,
         platform::IDYES},
        {MbButtons::Ok,
         MbIcon::Error,
         0,
         false,
         {"确定"},
         "dialog-error",
         platform::IDOK,
         platform::IDOK},
        {MbButtons::OkCancel,
         MbIcon::Warning,
         5,
         false,
         {"确定", "取消"},
         "dialog-warning",
         platform::IDOK,
         platform::IDCANCEL},
        {MbButtons::Ok, MbIcon::None, 0, false, {"确定"}, nullptr, platform::IDOK, platform::IDOK},
    };
    gtkui::GtkMessageBoxes boxes([this] { return view_.Window(); });
    for (const auto& c : cases) {
        platform::MessageBoxSpec box;
        box.owner = &view_;
        box.caption = "取消确认";
        box.text = "是否真的希望取消？\n";
        box.buttons = c.buttons;
        box.icon = c.icon;
        box.defaultButton = c.defaultButton;
        box.topMost = c.topMost;

        std::atomic<int> result{-1};
        std::thread worker([&] { result = boxes.Show(box); });

        // The checks run from a timer, which fires inside the box's own
        // loop: that the timer runs at all shows the loop keeps going.
        int step = 0;
        GtkWidget* seen = nullptr;
        std::function<bool()> probe = [&]() -> bool {
            GtkWidget* dialog = gtkui::CurrentMessageDialog();
            if (!dialog)
                return true;
            if (step == 0) {
                seen = dialog;
                EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "取消确认");
                EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), view_.Window());
                EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
                // Each button answers with its own result.
                std::vector<std::string> labels;
                for (int r : platform::ButtonResults(c.buttons)) {
                    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), r);
                    labels.push_back(button ? gtk_button_get_label(GTK_BUTTON(button)) : "");
                }
                EXPECT_EQ(labels, c.labels);
                EXPECT_EQ(
                    gtk_window_get_focus(GTK_WINDOW(dialog)),
                    gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), c.expectedDefault));
                const char* iconName = nullptr;
                GtkWidget* row = gtk_widget_get_parent(
                    gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog)));
                GList* items = gtk_container_get_children(GTK_CONTAINER(row));
                for (GList* l = items; l; l = l->next) {
                    if (GTK_IS_IMAGE(l->data))
                        gtk_image_get_icon_name(GTK_IMAGE(l->data), &iconName, nullptr);
                }
                g_list_free(items);
                if (c.iconName)
                    EXPECT_STREQ(iconName, c.iconName);
                else
                    EXPECT_EQ(iconName, nullptr);
                // Closing a Yes/No box by the window manager does not answer it.
                if (c.buttons == MbButtons::YesNo) {
                    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
                    step = 1;
                    return true;
                }
            } else {
                EXPECT_EQ(dialog, seen) << "the box stays after a close request";
                EXPECT_EQ(result.load(), -1);
            }
            gtk_dialog_response(GTK_DIALOG(dialog), c.answer);
            return false;
        };
        const guint timer = g_timeout_add(
            20, [](gpointer f) -> gboolean { return (*static_cast<std::function<bool()>*>(f))(); },
            &probe);
        const bool answered = Iterate([&] { return result.load() != -1; }, 20s);
        if (!answered) {
            g_source_remove(timer);
            if (GtkWidget* d = gtkui::CurrentMessageDialog())
                gtk_dialog_response(GTK_DIALOG(d), c.answer);
        }
        worker.join();
        ASSERT_TRUE(answered);
        EXPECT_NE(seen, nullptr);
        EXPECT_EQ(result.load(), c.answer);
        EXPECT_EQ(gtkui::CurrentMessageDialog(), nullptr);
    }
}

}  // namespace
