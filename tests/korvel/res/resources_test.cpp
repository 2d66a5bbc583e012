#include "korvel/res/resources.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>

#include "common/template_layout.h"
#include "korvel/res/dialog_template.h"
#include "korvel/res/hosts.h"

namespace {

// GBK to UTF-8 through the C library; false when the bytes are not GBK.
bool GbkToUtf8(std::string_view gbk, std::string& utf8) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string in(gbk);
    utf8.assign(in.size() * 2 + 16, '\0');
    char* src = in.data();
    char* dst = utf8.data();
    std::size_t srcLeft = in.size(), dstLeft = utf8.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || srcLeft != 0)
        return false;
    utf8.resize(utf8.size() - dstLeft);
    return true;
}

std::uint32_t BigEndian32(std::string_view b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 24) |
           (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}

std::uint32_t LittleEndian(std::string_view b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | std::uint8_t(b[at + static_cast<std::size_t>(i)]);
    return v;
}

struct PngSize {
    std::uint32_t width = 0, height = 0;
};

PngSize PngHeader(std::string_view png) {
    if (png.size() < 24 || png.substr(0, 8) != std::string_view("\x89PNG\r\n\x1a\n", 8) ||
        png.substr(12, 4) != "IHDR")
        return {};
    return {BigEndian32(png, 16), BigEndian32(png, 20)};
}

TEST(Resources, PageIsGbkAndDeclaresIt) {
    const std::string_view page = res::FindResource(res::kTypeHtml, res::IDR_HTML_PAGE);
    ASSERT_FALSE(page.empty());
    EXPECT_NE(page.find("charset=gbk"), std::string_view::npos);
    // Stored in GBK, not UTF-8: the first link text's bytes in GBK.
    EXPECT_NE(page.find("\xca\xd6\xb6\xaf\xcf\xc2\xd4\xd8"), std::string_view::npos);  // 手动下载

    std::string utf8;
    ASSERT_TRUE(GbkToUtf8(page, utf8));
    for (const char* text :
         {"手动下载方法及补丁下载", "官方主页", "取消下载", "id=\"ButtonCancel\"",
          "name=\"ButtonCancel\"", "value=\"取消下载\"", "res:/IMG/#142",
          "href=\"javascript:oncancel()\"", "function oncancel()"})
        EXPECT_NE(utf8.find(text), std::string::npos) << text;
}

TEST(Resources, PageLinksGoToTheWebSite) {
    std::string page;
    ASSERT_TRUE(GbkToUtf8(res::FindResource(res::kTypeHtml, res::IDR_HTML_PAGE), page));
    const std::string site = std::string("http://") + KORVEL_WEB_HOST;
    for (const std::string& address :
         {site + "/client/bn.html", site + "/client/update.html",
          site + "/download/update.html\" target=\"_blank\"", site + "/\" target=\"_blank\""})
        EXPECT_NE(page.find(address), std::string::npos) << address;
    EXPECT_EQ(page.find('@'), std::string::npos) << "unreplaced placeholder";
}

TEST(Resources, PicturesHaveTheWindowSize) {
    const PngSize page = PngHeader(res::FindResource(res::kTypeImage, res::IDR_PAGE_BACKGROUND));
    EXPECT_EQ(page.width, 437u);
    EXPECT_EQ(page.height, 463u);

    const std::string_view bmp = res::FindResource(res::kTypeBitmap, res::IDB_BACKGROUND);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(LittleEndian(bmp, 2, 4), bmp.size());  // file size field
    EXPECT_EQ(LittleEndian(bmp, 18, 4), 437u);
    EXPECT_EQ(LittleEndian(bmp, 22, 4), 463u);
    EXPECT_EQ(LittleEndian(bmp, 28, 2), 8u);  // bits per pixel

    const PngSize icon = PngHeader(res::FindResource(res::kTypeIcon, res::IDR_MAINFRAME));
    EXPECT_GE(icon.width, 32u);
    EXPECT_EQ(icon.width, icon.height);
}

// The pictures are drawn for the template's layout with a 12-pixel Song face.
TEST(Resources, TemplateLaysOutToThePictureSize) {
    const dlg::DialogTemplate* tpl = res::FindDialogTemplate(res::IDD_KORVEL_DIALOG);
    ASSERT_NE(tpl, nullptr);
    std::vector<int> ids;
    for (const auto& c : tpl->controls)
        ids.push_back(c.id);
    const TemplateLayout layout = ApplyTemplateLayout(
        *tpl, 96,
        [](const FontRequest&) {
            return FontMetrics{12, 312};
        },
        ids);
    const PngSize page = PngHeader(res::FindResource(res::kTypeImage, res::IDR_PAGE_BACKGROUND));
    EXPECT_EQ(static_cast<std::uint32_t>(layout.clientWidth), page.width);
    EXPECT_EQ(static_cast<std::uint32_t>(layout.clientHeight), page.height);
}

TEST(Resources, LookupByTypeAndId) {
    EXPECT_EQ(res::FindResource("img", 142), res::FindResource("IMG", 142));
    EXPECT_TRUE(res::FindResource("IMG", 140).empty());
    EXPECT_TRUE(res::FindResource("HTML", 142).empty());
    EXPECT_TRUE(res::FindResource("PNG", 142).empty());
    EXPECT_EQ(res::ResourceMediaType("HTML", "<html>"), "text/html");
    EXPECT_EQ(res::ResourceMediaType("IMG", res::FindResource("IMG", 142)), "image/png");
    EXPECT_EQ(res::ResourceMediaType("BITMAP", res::FindResource("BITMAP", 129)), "image/bmp");
    EXPECT_EQ(res::ResourceMediaType("IMG", "xyz"), "application/octet-stream");
}

TEST(Resources, ResourceAddresses) {
    struct Case {
        const char* uri;
        bool ok;
        const char* type;
        unsigned id;
    } cases[] = {
        {"res:/IMG/#142", true, "IMG", 142},
        {"res:///IMG/#142", true, "IMG", 142},
        {"res://IMG/#142", true, "IMG", 142},
        {"RES:/HTML/#140", true, "HTML", 140},
        {"res:/IMG#142", true, "IMG", 142},
        {"res:/IMG/", false, "", 0},
        {"res:/IMG/#", false, "", 0},
        {"res:/IMG/#14x", false, "", 0},
        {"res:/IMG/#-1", false, "", 0},
        {"res:/IMG/#99999999999", false, "", 0},
        {"res:/#142", false, "", 0},
        {"res:/A/B/#142", false, "", 0},
        {"res:IMG/#142", false, "", 0},
        {"res:////IMG/#142", false, "", 0},
        {"http://host/IMG/#142", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string type;
        unsigned id = 0;
        EXPECT_EQ(res::ParseResourceUri(c.uri, type, id), c.ok) << c.uri;
        if (c.ok) {
            EXPECT_EQ(type, c.type) << c.uri;
            EXPECT_EQ(id, c.id) << c.uri;
        }
    }
}

}  // namespace
