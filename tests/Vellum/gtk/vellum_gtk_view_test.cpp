// The repair tool's GTK window and folder chooser on a private X server.
#include "Vellum/app/gtk/vellum_gtk_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <thread>

#include "tests/support/gtk_display.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Iterate;
using testing_support::Settle;

LayoutRect Allocation(GtkWidget* widget) {
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    return {a.x, a.y, a.width, a.height};
}

// Average of the 3 x 3 pixels around (x, y) of an RGB24 surface.
std::array<int, 3> ColourAt(cairo_surface_t* s, int x, int y) {
    const unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    std::array<int, 3> sum{};
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const auto pixel =
                *reinterpret_cast<const std::uint32_t*>(data + (y + dy) * stride + (x + dx) * 4);
            sum[0] += (pixel >> 16) & 0xFF;
            sum[1] += (pixel >> 8) & 0xFF;
            sum[2] += pixel & 0xFF;
        }
    }
    for (int& c : sum)
        c /= 9;
    return sum;
}

TEST(VellumGtkView, WindowFollowsTheTemplateAndOnlyItsKeysRunTheAction) {
    std::string why;
    if (!testing_support::GtkDisplayReady(why))
        GTEST_SKIP() << why;
    vellum::VellumGtkView view;
    int actions = 0;
    view.SetAction([&] { ++actions; });
    view.Create("《ZorniaⅡ》客户端修复工具");
    GtkWindow* window = view.Window();
    ASSERT_TRUE(Iterate([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));

    EXPECT_STREQ(gtk_window_get_title(window), "《ZorniaⅡ》客户端修复工具");
    EXPECT_TRUE(gtk_window_get_decorated(window));
    EXPECT_FALSE(gtk_window_get_resizable(window));
    EXPECT_FALSE(gtk_window_get_skip_taskbar_hint(window));
    GdkPixbuf* icon = gtk_window_get_icon(window);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
    EXPECT_EQ(gdk_pixbuf_get_height(icon), 48);

    // Long texts are cut, never grow their controls or the window.
    const std::string longPath = "/home/player/games/" + std::string(60, 'z') + "/客户端";
    view.SetText(vellum::IDC_REPAIR_DIR, longPath);
    view.SetText(vellum::IDC_FILE_INFO, "正在校验：" + std::string(80, 'd') + ".dat");
    view.SetText(vellum::IDC_STATUS, "正在下载，已完成 50.00%，剩余时间 00:16:40，请耐心等待");
    view.SetText(vellum::IDC_RATE, "下载 1234.56 KB/s 上传 12.34 KB/s");
    view.SetText(vellum::IDC_HINT, "磁盘空间不足，请清理磁盘后重新运行本工具");
    view.SetBarRange(0, 10000);
    view.SetBar(5000);
    Settle(300ms);

    // The template font resolves to the Song face: 6 x 12 pixel units.
    const TemplateLayout& layout = view.Layout();
    EXPECT_EQ(layout.averageWidth, 6);
    EXPECT_EQ(layout.charHeight, 12);
    ASSERT_EQ(layout.controls.size(), 9u);
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    EXPECT_EQ(width, layout.clientWidth);
    EXPECT_EQ(height, layout.clientHeight);

    const struct {
        int id;
        GType type;
    } controls[] = {
        {vellum::IDC_FILE_INFO, GTK_TYPE_DRAWING_AREA}, {vellum::IDC_REPAIR_DIR, GTK_TYPE_ENTRY},
        {vellum::IDC_PROGRESS, GTK_TYPE_PROGRESS_BAR},  {vellum::IDC_STATUS, GTK_TYPE_DRAWING_AREA},
        {vellum::IDC_RATE, GTK_TYPE_DRAWING_AREA},      {vellum::IDC_HINT, GTK_TYPE_DRAWING_AREA},
        {vellum::IDC_ACTION, GTK_TYPE_BUTTON},
    };
    for (const auto& c : controls) {
        const auto placed = std::find_if(layout.controls.begin(), layout.controls.end(),
                                         [&](const PlacedControl& p) { return p.id == c.id; });
        ASSERT_NE(placed, layout.controls.end()) << c.id;
        GtkWidget* widget = view.ControlWidget(c.id);
        ASSERT_NE(widget, nullptr) << c.id;
        EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(widget, c.type)) << c.id;
        EXPECT_EQ(Allocation(widget), placed->rect) << c.id;
    }
    GtkWidget* edit = view.ControlWidget(vellum::IDC_REPAIR_DIR);
    EXPECT_FALSE(gtk_editable_get_editable(GTK_EDITABLE(edit)));
    EXPECT_EQ(view.Text(vellum::IDC_REPAIR_DIR), longPath);
    // Byte texts in GBK are shown as their characters.
    view.SetText(vellum::IDC_FILE_INFO, "\xb2\xb9\xb6\xa1.dat");
    EXPECT_EQ(view.Text(vellum::IDC_FILE_INFO), "补丁.dat");

    // Kept in the build folder to look at.
    cairo_surface_t* shot = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(shot);
    gtk_widget_draw(GTK_WIDGET(window), cr);
    cairo_destroy(cr);
    cairo_surface_flush(shot);
    const std::string path = std::string(SCREENSHOT_DIR) + "/vellum_window.png";
    EXPECT_EQ(cairo_surface_write_to_png(shot, path.c_str()), CAIRO_STATUS_SUCCESS);
    std::cout << "screenshot: " << path << "\n";
    // The bar at 5000 of 0..10000 is filled on its left half only.
    const LayoutRect bar = Allocation(view.ControlWidget(vellum::IDC_PROGRESS));
    const auto filled = ColourAt(shot, bar.x + bar.width / 4, bar.y + bar.height / 2);
    const auto empty = ColourAt(shot, bar.x + bar.width * 3 / 4, bar.y + bar.height / 2);
    EXPECT_LT(filled[0], 100) << "fill";
    EXPECT_GT(filled[2], 150) << "fill";
    EXPECT_GT(empty[0], 200) << "trough";
    cairo_surface_destroy(shot);

    GtkWidget* button = view.ControlWidget(vellum::IDC_ACTION);
    EXPECT_TRUE(gtk_widget_has_default(button));
    EXPECT_EQ(view.Text(vellum::IDC_ACTION), "取消");
    view.SetText(vellum::IDC_ACTION, "完成");
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "完成");

    // Enter presses the default button and Escape runs the action too,
    // each from the loop afterwards; other keys and the close box do not.
    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
    const struct {
        GdkEventType type;
        guint key;
        int actions;
    } inputs[] = {
        {GDK_KEY_PRESS, GDK_KEY_Return, 1},
        {GDK_KEY_PRESS, GDK_KEY_KP_Enter, 1},
        {GDK_KEY_PRESS, GDK_KEY_Escape, 1},
        {GDK_KEY_PRESS, GDK_KEY_a, 0},
        {GDK_DELETE, 0, 0},
    };
    for (const auto& input : inputs) {
        actions = 0;
        GdkEvent* event = gdk_event_new(input.type);
        event->any.window = GDK_WINDOW(g_object_ref(gdkWindow));
        gboolean handled = FALSE;
        if (input.type == GDK_KEY_PRESS) {
            event->key.keyval = input.key;
            gdk_event_set_device(
                event,
                gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
            g_signal_emit_by_name(window, "key-press-event", event, &handled);
        } else {
            g_signal_emit_by_name(window, "delete-event", event, &handled);
            EXPECT_TRUE(handled) << "the close request is swallowed";
        }
        gdk_event_free(event);
        EXPECT_EQ(actions, 0) << "not inside the signal: " << input.key;
        if (input.actions > 0)
            Iterate([&] { return actions > 0; }, 5s);
        Settle(400ms);
        EXPECT_EQ(actions, input.actions) << input.type << " " << input.key;
    }
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window)));

    // The bar's fraction of its range, clamped.
    const struct {
        int low, high, position;
        double fraction;
    } bars[] = {
        {0, 10000, 5000, 0.5}, {0, 10000, 12000, 1}, {0, 10000, -1, 0},
        {100, 200, 125, 0.25}, {10, 10, 10, 0},
    };
    for (const auto& b : bars) {
        view.SetBarRange(b.low, b.high);
        view.SetBar(b.position);
        EXPECT_DOUBLE_EQ(view.BarFraction(), b.fraction)
            << b.low << ".." << b.high << " " << b.position;
    }
    view.Destroy();
    EXPECT_EQ(view.Window(), nullptr);
}

// The shown folder chooser, if any.
GtkFileChooserDialog* FindChooser() {
    GtkFileChooserDialog* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l; l = l->next) {
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data)))
            found = GTK_FILE_CHOOSER_DIALOG(l->data);
    }
    g_list_free(windows);
    return found;
}

TEST(VellumGtkFolderPicker, GivesTheChosenFolderOrFalseWhenCancelled) {
    std::string why;
    if (!testing_support::GtkDisplayReady(why))
        GTEST_SKIP() << why;
    testing_support::TempDir dir;
    const struct {
        int response;
        bool chosen;
        std::string folder;
    } cases[] = {
        {GTK_RESPONSE_ACCEPT, true, dir.path()},
        {GTK_RESPONSE_CANCEL, false, "unchanged"},
        {GTK_RESPONSE_DELETE_EVENT, false, "unchanged"},  // the close box
    };
    for (const auto& c : cases) {
        // Answers the chooser from a timer inside its own loop; gives up
        // with a cancel after 10 s.
        int ticks = 0;
        std::vector<std::string> seen;
        std::function<bool()> probe = [&]() -> bool {
            GtkFileChooserDialog* chooser = FindChooser();
            if (!chooser)
                return ++ticks < 400;
            GtkDialog* dialog = GTK_DIALOG(chooser);
            if (seen.empty()) {
                seen.push_back(gtk_window_get_title(GTK_WINDOW(dialog)));
                for (int r : {GTK_RESPONSE_CANCEL, GTK_RESPONSE_ACCEPT}) {
                    GtkWidget* button = gtk_dialog_get_widget_for_response(dialog, r);
                    seen.push_back(button ? gtk_button_get_label(GTK_BUTTON(button)) : "");
                }
                EXPECT_EQ(gtk_file_chooser_get_action(GTK_FILE_CHOOSER(chooser)),
                          GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
                gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), dir.path().c_str());
            }
            // The folder is taken once the chooser has moved to it.
            gchar* current = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
            const bool there = current && dir.path() == current;
            g_free(current);
            if (!there && ++ticks < 200)
                return true;
            gtk_dialog_response(dialog, ticks < 200 ? c.response : GTK_RESPONSE_CANCEL);
            return false;
        };
        const guint timer = g_timeout_add(
            50, [](gpointer f) -> gboolean { return (*static_cast<std::function<bool()>*>(f))(); },
            &probe);
        std::string folder = "unchanged";
        const bool chosen = vellum::PickRepairFolderGtk(folder);
        if (ticks >= 200)
            g_source_remove(timer);
        EXPECT_EQ(seen, (std::vector<std::string>{"请选要修复的游戏目录", "取消", "确定"}));
        EXPECT_EQ(chosen, c.chosen) << c.response;
        EXPECT_EQ(folder, c.folder) << c.response;
        Settle(100ms);
        EXPECT_EQ(FindChooser(), nullptr);
    }
}

}  // namespace
