// The korvel program with its GTK window on a private X server: a whole
// patch update seen on screen, the page's cancel link and dragging.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "korvel/res/resources.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kWindowName = "ZorniaII";

struct Rgb {
    int r = 0, g = 0, b = 0;
    int Sum() const { return r + g + b; }
};

bool Near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

std::ostream& operator<<(std::ostream& os, Rgb c) {
    return os << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

// A picture to read pixels from.
class Picture {
  public:
    explicit Picture(GdkPixbuf* pixbuf) : pixbuf_(pixbuf) {}
    ~Picture() {
        if (pixbuf_)
            g_object_unref(pixbuf_);
    }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    static std::unique_ptr<Picture> FromFile(const std::string& path) {
        return std::make_unique<Picture>(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
    }
    static std::unique_ptr<Picture> FromBytes(std::string_view bytes) {
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(),
                                nullptr);
        gdk_pixbuf_loader_close(loader, nullptr);
        GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf)
            g_object_ref(pixbuf);
        g_object_unref(loader);
        return std::make_unique<Picture>(pixbuf);
    }

    bool ok() const { return pixbuf_ != nullptr; }
    int width() const { return gdk_pixbuf_get_width(pixbuf_); }
    int height() const { return gdk_pixbuf_get_height(pixbuf_); }
    Rgb At(int x, int y) const {
        const guchar* p = gdk_pixbuf_get_pixels(pixbuf_) + y * gdk_pixbuf_get_rowstride(pixbuf_) +
                          x * gdk_pixbuf_get_n_channels(pixbuf_);
        return {p[0], p[1], p[2]};
    }
    // Pixels darker than text on the light parts of the picture.
    int DarkPixels(int x, int y, int w, int h) const {
        int n = 0;
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i)
                n += At(i, j).Sum() < 240;
        return n;
    }

  private:
    GdkPixbuf* pixbuf_;
};

struct Geometry {
    int x = -1, y = -1, width = 0, height = 0;
};

class WindowSmokeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = new XvfbDisplay(1024, 768);
        if (!xvfb_->started())
            return;
        work_ = new TempDir;
        const TempDir& w = *work_;
        w.Write("v100/readme.txt", "Zornia client 1.0.0\n");
        w.Write("v100/data/world.map", RandomBytes(100000, 1));
        fs::copy(w.Sub("v100"), w.Sub("v101"), fs::copy_options::recursive);
        w.Write("v101/readme.txt", "Zornia client 1.0.1\n");
        fs::copy(w.Sub("v101"), w.Sub("v102"), fs::copy_options::recursive);
        w.Write("v102/data/harbour.map", RandomBytes(20000, 2));
        fs::copy(w.Sub("v102"), w.Sub("v103"), fs::copy_options::recursive);
        w.Write("v103/data/world.map", RandomBytes(100000, 1) + RandomBytes(3000, 3));
        fs::copy(w.Sub("v100"), w.Sub("vbig"), fs::copy_options::recursive);
        w.Write("vbig/data/big.bin", RandomBytes(1500000, 4));
        ASSERT_EQ(MakePatches(ZRPATCH_BINARY, w,
                              {{"v100", "v101", "1.0.1", "lzo", "site/p/p101.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/p/p102.dat"},
                               {"v102", "v103", "1.0.3", "lzo", "site/p/p103.dat"},
                               {"v100", "vbig", "1.0.1", "bzip2", "site/slow/pbig.dat"}}),
                  "");
        nginx_ = new NginxServer(w.Sub("site"), "location /slow/ { limit_rate 40k; }\n");
        ASSERT_TRUE(nginx_->started());
        auto entry = [&](const std::string& path, const char* version) {
            const std::string line =
                UpdateListEntry(ZRPATCH_BINARY, w.Sub("site/" + path), version,
                                nginx_->Url("/" + path), nginx_->Url("/" + path));
            EXPECT_FALSE(line.empty()) << path;
            return line;
        };
        w.Write("site/three.txt", "##1 0 - - - - smoke\n" + entry("p/p101.dat", "1.0.1") +
                                      entry("p/p102.dat", "1.0.2") + entry("p/p103.dat", "1.0.3"));
        w.Write("site/slow.txt", "##1 0 - - - - smoke\n" + entry("slow/pbig.dat", "1.0.1"));
    }

    static void TearDownTestSuite() {
        delete nginx_;
        delete work_;
        delete xvfb_;
        nginx_ = nullptr;
        work_ = nullptr;
        xvfb_ = nullptr;
    }

    void SetUp() override {
        if (!xvfb_->started())
            GTEST_SKIP() << "no X server for the window test: " << xvfb_->error();
        for (const char* tool : {"xdotool", "import"}) {
            if (FindProgram(tool).empty())
                GTEST_SKIP() << tool << " not found in PATH (packages xdotool, imagemagick)";
        }
        fs::copy(work_->Sub("v100"), game_.path(), fs::copy_options::recursive);
        game_.Write("zorn.exe", "#!/bin/sh\necho started >> \"" + tmp_.Sub("started.txt") + "\"\n");
        ::chmod(game_.Sub("zorn.exe").c_str(), 0755);
        fs::create_directories(tmp_.Sub("home"));
        fs::create_directories(tmp_.Sub("run"));
        ::chmod(tmp_.Sub("run").c_str(), 0700);
    }

    void UseList(const std::string& list) {
        game_.Write("update.ini",
                    "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/" + list) +
                        "\r\nPATCHDOWNLOADINFO=" + nginx_->Url("/patch_download") + "\r\n");
    }

    std::unique_ptr<BackgroundProcess> StartKorvel(std::vector<std::string> args = {}) {
        if (args.empty())
            args = {"1", game_.path()};
        args.insert(args.begin(), KORVEL_BINARY);
        return std::make_unique<BackgroundProcess>(
            args,
            std::map<std::string, std::string>{{"DISPLAY", xvfb_->display()},
                                               {"HOME", tmp_.Sub("home")},
                                               {"XDG_RUNTIME_DIR", tmp_.Sub("run")},
                                               {"TMPDIR", tmp_.path()},
                                               {"KORVEL_UI", "gtk"},
                                               {"NO_AT_BRIDGE", "1"}},
            tmp_.Sub("korvel.log"));
    }

    std::string Log() const { return ReadFile(tmp_.Sub("korvel.log")); }

    RunResult Xdo(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{FindProgram("xdotool")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {{"DISPLAY", xvfb_->display()}}, "", 10s);
    }

    // The first window whose name matches, waiting for it to appear.
    std::string WaitForWindow(const std::string& name, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            const RunResult r = Xdo({"search", "--onlyvisible", "--name", name});
            if (r.exitCode == 0 && !r.out.empty())
                return r.out.substr(0, r.out.find('\n'));
            std::this_thread::sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return {};
    }

    bool WindowGone(const std::string& name, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            const RunResult r = Xdo({"search", "--onlyvisible", "--name", name});
            if (r.out.empty())
                return true;
            std::this_thread::sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    Geometry GeometryOf(const std::string& id) const {
        Geometry g;
        std::istringstream lines(Xdo({"getwindowgeometry", "--shell", id}).out);
        std::string line;
        while (std::getline(lines, line)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X")
                g.x = value;
            else if (key == "Y")
                g.y = value;
            else if (key == "WIDTH")
                g.width = value;
            else if (key == "HEIGHT")
                g.height = value;
        }
        return g;
    }

    std::unique_ptr<Picture> Screenshot(const std::string& path) const {
        const RunResult r = RunProgram({FindProgram("import"), "-window", "root", path},
                                       {{"DISPLAY", xvfb_->display()}}, "", 20s);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return Picture::FromFile(path);
    }

    // Waits until the page's links row shows text, so the page is drawn.
    std::unique_ptr<Picture> WaitForPage(const Geometry& win) const {
        std::unique_ptr<Picture> shot;
        for (int i = 0; i < 60; ++i) {
            shot = Screenshot(tmp_.Sub("wait.png"));
            if (shot->ok() && shot->DarkPixels(win.x + 39, win.y + 429, 300, 14) > 50)
                return shot;
            std::this_thread::sleep_for(200ms);
        }
        return shot;
    }

    void Click(int x, int y) const {
        Xdo({"mousemove", std::to_string(x), std::to_string(y)});
        std::this_thread::sleep_for(300ms);  // the page learns what is under the pointer
        Xdo({"click", "1"});
    }

    // Clicks the n-th of count buttons along the bottom of a message box.
    void ClickBoxButton(const std::string& id, int n, int count) const {
        const Geometry box = GeometryOf(id);
        const int inner = box.width - 12;
        Click(box.x + 6 + inner * (2 * n + 1) / (2 * count), box.y + box.height - 22);
    }

    static XvfbDisplay* xvfb_;
    static TempDir* work_;
    static NginxServer* nginx_;
    TempDir game_, tmp_;
};

XvfbDisplay* WindowSmokeTest::xvfb_ = nullptr;
TempDir* WindowSmokeTest::work_ = nullptr;
NginxServer* WindowSmokeTest::nginx_ = nullptr;

TEST_F(WindowSmokeTest, WholeUpdateInTheWindow) {
    UseList("three.txt");
    auto korvel = StartKorvel();

    // The run ends with the success box over the window.
    const std::string box = WaitForWindow("恭喜", 40s);
    ASSERT_FALSE(box.empty()) << Log();
    const std::string window = WaitForWindow(kWindowName, 5s);
    ASSERT_FALSE(window.empty());
    const Geometry win = GeometryOf(window);
    EXPECT_EQ(win.width, 437);
    EXPECT_EQ(win.height, 463);
    // Centred on the 1024 x 768 screen.
    EXPECT_NEAR(win.x, (1024 - 437) / 2, 2);
    EXPECT_NEAR(win.y, (768 - 463) / 2, 2);

    WaitForPage(win);
    const std::string path = std::string(SCREENSHOT_DIR) + "/korvel_window.png";
    const auto shot = Screenshot(path);
    ASSERT_TRUE(shot->ok());
    std::cout << "screenshot: " << path << "\n";
    auto at = [&](int x, int y) { return shot->At(win.x + x, win.y + y); };

    // The background picture, where neither the box nor a frame covers it.
    const auto art = Picture::FromBytes(res::FindResource("IMG", res::IDR_PAGE_BACKGROUND));
    ASSERT_TRUE(art->ok());
    for (auto [x, y] : {std::pair{5, 5}, {430, 140}, {10, 160}, {30, 182}, {400, 190}, {8, 455}})
        EXPECT_TRUE(Near(at(x, y), art->At(x, y), 6))
            << "at " << x << "," << y << ": " << at(x, y) << " vs " << art->At(x, y);

    // Both bars are full at the end: fill inside, border at the edges.
    const Rgb fill{0x2f, 0x6f, 0xd0};
    const Rgb border{0x6f, 0x6f, 0x6f};
    for (int top : {346, 369}) {
        EXPECT_TRUE(Near(at(137 + 118, top + 8), fill, 12)) << top << ": " << at(255, top + 8);
        EXPECT_TRUE(Near(at(137 + 3, top + 8), fill, 12)) << top;
        EXPECT_TRUE(Near(at(137 + 232, top + 8), fill, 12)) << top;
        EXPECT_TRUE(Near(at(137, top + 8), border, 12)) << top << ": " << at(137, top + 8);
        EXPECT_TRUE(Near(at(137 + 118, top), border, 12)) << top;
        EXPECT_TRUE(Near(at(137 + 118, top + 15), border, 12)) << top;
        // Nothing of the bar outside its rectangle.
        EXPECT_TRUE(Near(at(137 + 118, top - 2), art->At(137 + 118, top - 2), 6)) << top;
    }

    // Status and file texts are written where the picture has none.
    EXPECT_EQ(art->DarkPixels(42, 393, 375, 15), 0);
    EXPECT_GT(shot->DarkPixels(win.x + 42, win.y + 393, 375, 15), 40);
    EXPECT_EQ(art->DarkPixels(149, 154, 191, 12), 0);
    EXPECT_GT(shot->DarkPixels(win.x + 149, win.y + 154, 191, 12), 40);

    // OK on the box: the game starts and the run ends.
    ClickBoxButton(box, 0, 1);
    EXPECT_EQ(korvel->Wait(30s), 0) << Log();
    EXPECT_EQ(ReadFile(game_.Sub("data/world.map")), ReadFile(work_->Sub("v103/data/world.map")));
    EXPECT_TRUE(fs::exists(tmp_.Sub("started.txt")));

    // The page's web data stayed in memory: nothing of WebKit in the home.
    for (const auto& e : fs::recursive_directory_iterator(tmp_.Sub("home")))
        EXPECT_EQ(e.path().string().find("webkit"), std::string::npos) << e.path();
}

TEST_F(WindowSmokeTest, StartUpRefusalsAreDialogs) {
    struct Case {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{""}, "请运行zorn.exe!"},
        {{game_.path()}, "自动更新参数错误，请运行zorn.exe!"},
    };
    for (const auto& c : cases) {
        auto korvel = StartKorvel(c.args);
        const std::string box = WaitForWindow("^错误$", 20s);
        ASSERT_FALSE(box.empty()) << Log();
        EXPECT_TRUE(korvel->Running());  // waiting for the answer
        EXPECT_EQ(Log().find(c.text), std::string::npos) << "a console box: " << Log();
        ClickBoxButton(box, 0, 1);
        EXPECT_EQ(korvel->Wait(10s), 0) << Log();
    }
}

TEST_F(WindowSmokeTest, CancelLinkAsksAndDraggingMovesTheWindow) {
    UseList("slow.txt");
    auto korvel = StartKorvel();
    const std::string window = WaitForWindow(kWindowName, 20s);
    ASSERT_FALSE(window.empty()) << Log();
    const Geometry before = GeometryOf(window);
    const auto page = WaitForPage(before);
    ASSERT_GT(page->DarkPixels(before.x + 39, before.y + 429, 300, 14), 50) << "page not drawn";

    // Press on the page, move, release: the window follows.
    const int sx = before.x + 300, sy = before.y + 260;
    Xdo({"mousemove", std::to_string(sx), std::to_string(sy)});
    std::this_thread::sleep_for(300ms);
    Xdo({"mousedown", "1"});
    std::this_thread::sleep_for(100ms);
    for (int step = 1; step <= 6; ++step) {
        Xdo({"mousemove", std::to_string(sx + 10 * step), std::to_string(sy + 7 * step)});
        std::this_thread::sleep_for(50ms);
    }
    Xdo({"mouseup", "1"});
    // On a busy machine the move and the repaint take their time: look again
    // for a while before judging.
    Geometry moved = GeometryOf(window);
    for (int i = 0; i < 100 && (moved.x != before.x + 60 || moved.y != before.y + 42); ++i) {
        std::this_thread::sleep_for(50ms);
        moved = GeometryOf(window);
    }
    EXPECT_EQ(moved.x, before.x + 60);
    EXPECT_EQ(moved.y, before.y + 42);

    // The links row: three runs of text; the third is the cancel link.
    std::vector<std::pair<int, int>> runs;
    for (int attempt = 0; attempt < 25 && runs.size() != 3; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(200ms);
        const auto shot = Screenshot(tmp_.Sub("links.png"));
        runs.clear();
        for (int x = 30, gap = 99; x < 420; ++x) {
            const bool ink = shot->DarkPixels(moved.x + x, moved.y + 429, 1, 14) > 0;
            if (ink && gap > 8)
                runs.push_back({x, x});
            if (ink)
                runs.back().second = x;
            gap = ink ? 0 : gap + 1;
        }
    }
    ASSERT_EQ(runs.size(), 3u) << "links row";
    const int linkX = moved.x + (runs[2].first + runs[2].second) / 2;
    const int linkY = moved.y + 436;

    // No: the question goes away and the download goes on.
    Click(linkX, linkY);
    std::string question = WaitForWindow("取消确认", 10s);
    ASSERT_FALSE(question.empty()) << Log();
    const Geometry afterLink = GeometryOf(window);
    EXPECT_EQ(afterLink.x, moved.x) << "a press on a link does not move the window";
    ClickBoxButton(question, 1, 2);
    EXPECT_TRUE(WindowGone("取消确认", 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(korvel->Running());

    // Yes: the window ends at once, before the download is through.
    Click(linkX, linkY);
    question = WaitForWindow("取消确认", 10s);
    ASSERT_FALSE(question.empty());
    ClickBoxButton(question, 0, 2);
    EXPECT_EQ(korvel->Wait(10s), 0) << Log();
    EXPECT_FALSE(fs::exists(game_.Sub("data/big.bin")));
    EXPECT_FALSE(fs::exists(tmp_.Sub("started.txt")));
}

}  // namespace
