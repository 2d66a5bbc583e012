// The picture of the page kept between runs: what is read back from the
// cache folder is used only when it is a PNG of the window's size.
#include "korvel/app/gtk/page_picture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

constexpr int kWidth = 437;
constexpr int kHeight = 463;

// A picture with a pattern, so that pixels can be told apart.
GdkPixbuf* Pattern(int width, int height, bool alpha) {
    GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, width, height);
    const int channels = gdk_pixbuf_get_n_channels(p), stride = gdk_pixbuf_get_rowstride(p);
    guchar* pixels = gdk_pixbuf_get_pixels(p);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            guchar* px = pixels + y * stride + x * channels;
            px[0] = static_cast<guchar>(x);
            px[1] = static_cast<guchar>(y);
            px[2] = static_cast<guchar>(x ^ y);
            if (alpha)
                px[3] = 255;
        }
    return p;
}

std::string Png(GdkPixbuf* p) {
    gchar* buffer = nullptr;
    gsize size = 0;
    EXPECT_TRUE(gdk_pixbuf_save_to_buffer(p, &buffer, &size, "png", nullptr, nullptr));
    std::string bytes(buffer, size);
    g_free(buffer);
    return bytes;
}

TEST(PagePicture, WrittenPictureReadsBackWithTheSamePixels) {
    TempDir dir;
    GdkPixbuf* shot = Pattern(kWidth, kHeight, true);
    // The folder is made as needed.
    const std::string path = dir.Sub("cache/korvel/page-1.png");
    ASSERT_TRUE(gtkui::SavePagePicture(path, shot));
    GdkPixbuf* back = gtkui::LoadPagePicture(path, kWidth, kHeight);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(gtkui::SamePixels(shot, back));
    // One changed pixel is another picture.
    gdk_pixbuf_get_pixels(back)[gdk_pixbuf_get_rowstride(back) * 200 + 4 * 300 + 1] ^= 1;
    EXPECT_FALSE(gtkui::SamePixels(shot, back));
    g_object_unref(back);
    g_object_unref(shot);
}

TEST(PagePicture, AnythingButAPictureOfTheWindowsSizeIsNotUsed) {
    TempDir dir;
    GdkPixbuf* good = Pattern(kWidth, kHeight, true);
    GdkPixbuf* narrower = Pattern(kWidth - 1, kHeight, true);
    GdkPixbuf* opaque = Pattern(kWidth, kHeight, false);
    const std::string png = Png(good);
    // The right header and end around a body that is not one.
    std::string garbled =
        png.substr(0, 33) + std::string(4000, '\x55') + png.substr(png.size() - 12);
    // A file past the limit, even with a valid picture at its start.
    std::string huge = png + std::string(gtkui::kMaxPagePictureBytes, '\0');
    struct Case {
        const char* name;
        std::string bytes;
        bool used;
    } cases[] = {
        {"valid", png, true},
        {"empty", "", false},
        {"other size", Png(narrower), false},
        {"no alpha", Png(opaque), false},
        {"not a png", std::string("BM") + std::string(3000, '\x7f'), false},
        {"truncated", png.substr(0, png.size() / 2), false},
        {"header only", png.substr(0, 33), false},
        {"garbled body", garbled, false},
        {"too large", huge, false},
    };
    for (const auto& c : cases) {
        const std::string path = dir.Write(std::string("p-") + c.name, c.bytes);
        GdkPixbuf* loaded = gtkui::LoadPagePicture(path, kWidth, kHeight);
        EXPECT_EQ(loaded != nullptr, c.used) << c.name;
        if (loaded) {
            EXPECT_TRUE(gtkui::SamePixels(loaded, good)) << c.name;
            g_object_unref(loaded);
        }
    }
    // Not a regular file of its own: missing, a folder, a link.
    std::filesystem::create_directories(dir.Sub("folder.png"));
    ASSERT_EQ(::symlink(dir.Sub("p-valid").c_str(), dir.Sub("link.png").c_str()), 0);
    for (const char* name : {"missing.png", "folder.png", "link.png"})
        EXPECT_EQ(gtkui::LoadPagePicture(dir.Sub(name), kWidth, kHeight), nullptr) << name;
    g_object_unref(good);
    g_object_unref(narrower);
    g_object_unref(opaque);
}

TEST(PagePicture, FileNameFollowsEveryByteOfThePage) {
    const std::string a = gtkui::PagePicturePath("/c", {"<html>", "png"});
    EXPECT_EQ(a, gtkui::PagePicturePath("/c", {"<html>", "png"}));
    EXPECT_EQ(a.rfind("/c/page-", 0), 0u) << a;
    EXPECT_NE(a, gtkui::PagePicturePath("/c", {"<html> ", "png"}));
    EXPECT_NE(a, gtkui::PagePicturePath("/c", {"<html>", "pnG"}));
    // The parts' bounds count, not only their bytes in a row.
    EXPECT_NE(a, gtkui::PagePicturePath("/c", {"<html", ">png"}));
}

}  // namespace
