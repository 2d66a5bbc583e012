#include "common/template_layout.h"

#include <gtest/gtest.h>

#include "korvel/app/messages.h"
#include "korvel/res/dialog_template.h"

namespace {

using dlg::IDC_STATIC;

const dlg::DialogTemplate& Dialog102() {
    const dlg::DialogTemplate* tpl = res::FindDialogTemplate(res::IDD_KORVEL_DIALOG);
    EXPECT_NE(tpl, nullptr);
    return *tpl;
}

// A bitmap Song face as the layout sees it: the text height is the pixel
// height and every Latin letter is half as wide.
FontMetrics SongMetrics(const FontRequest& font) {
    return {font.pixelHeight, 52 * (font.pixelHeight / 2)};
}

std::vector<int> ChildIdsOf(const dlg::DialogTemplate& tpl) {
    std::vector<int> ids;
    for (const auto& c : tpl.controls)
        ids.push_back(c.id);
    return ids;
}

TEST(TemplateLayout, Dialog102WithSongMetricsAt96Dpi) {
    const dlg::DialogTemplate& tpl = Dialog102();
    std::vector<FontRequest> asked;
    const TemplateLayout layout = ApplyTemplateLayout(
        tpl, 96,
        [&](const FontRequest& f) {
            asked.push_back(f);
            return FontMetrics{12, 312};
        },
        ChildIdsOf(tpl));

    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].face, "宋体");
    EXPECT_EQ(asked[0].pixelHeight, 12);
    EXPECT_EQ(layout.charHeight, 12);
    EXPECT_EQ(layout.averageWidth, 6);
    EXPECT_EQ(layout.clientWidth, 437);
    EXPECT_EQ(layout.clientHeight, 463);

    struct Expected {
        int id;
        LayoutRect rect;
    } expected[] = {
        {IDC_STATIC, {51, 154, 71, 12}},               // "更新包版本:"
        {IDC_PROGRESS_DOWNLOAD, {137, 346, 236, 16}},  //
        {IDC_PROGRESS_UPDATE, {137, 369, 236, 16}},    //
        {IDC_TEXT_FILE, {149, 154, 191, 12}},          //
        {IDC_TEXT_TOTAL, {155, 412, 263, 12}},         //
        {IDC_STATIC, {60, 349, 50, 12}},               // "下载进度"
        {IDC_TEXT_PROGRESS, {60, 373, 50, 12}},        //
        {IDC_TEXT_STATUS, {42, 393, 375, 15}},         //
        {IDC_STATIC, {20, 414, 362, 12}},              // the slow-update hint
        {IDC_TEXT_DONE, {362, 436, 56, 16}},           //
    };
    ASSERT_EQ(layout.controls.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(layout.controls[i].index, i);
        EXPECT_EQ(layout.controls[i].id, expected[i].id) << i;
        EXPECT_EQ(layout.controls[i].rect, expected[i].rect) << "control " << i;
    }
    // Every control stays inside the client area.
    for (const auto& c : layout.controls) {
        EXPECT_LE(c.rect.x + c.rect.width, layout.clientWidth) << c.index;
        EXPECT_LE(c.rect.y + c.rect.height, layout.clientHeight) << c.index;
    }
}

TEST(TemplateLayout, FontSizeFollowsTheResolutionAskedFor) {
    struct Case {
        int pointSize;
        int dpi;
        int pixelHeight;
    } cases[] = {
        {9, 96, 12},  {9, 120, 15}, {9, 144, 18}, {9, 72, 9},          {8, 96, 11},
        {10, 96, 13}, {-9, 96, 12}, {0, 96, 0},   {40000, 96, -53332},
    };
    dlg::DialogTemplate tpl = Dialog102();
    for (const auto& c : cases) {
        tpl.pointSize = c.pointSize;
        EXPECT_EQ(TemplateFont(tpl, c.dpi).pixelHeight, c.pixelHeight)
            << c.pointSize << " pt at " << c.dpi;
    }
}

// Whatever resolution the font was measured for, a layout made with the
// same metrics lands on the same pixels; only the font request scales.
TEST(TemplateLayout, LayoutAtOtherResolutionsScalesWithTheFont) {
    const dlg::DialogTemplate& tpl = Dialog102();
    struct Case {
        int dpi;
        int width, height;
    } cases[] = {{96, 437, 463}, {120, 509, 579}, {144, 655, 695}};
    for (const auto& c : cases) {
        const TemplateLayout layout = ApplyTemplateLayout(tpl, c.dpi, SongMetrics, ChildIdsOf(tpl));
        EXPECT_EQ(layout.clientWidth, c.width) << c.dpi;
        EXPECT_EQ(layout.clientHeight, c.height) << c.dpi;
    }
}

TEST(TemplateLayout, TemplateWithoutFontUsesTahoma8) {
    dlg::DialogTemplate tpl = Dialog102();
    tpl.style &= ~dlg::DS_SETFONT;
    tpl.weight = 700;
    tpl.italic = true;

    FontRequest asked;
    const TemplateLayout layout = ApplyTemplateLayout(
        tpl, 96,
        [&](const FontRequest& f) {
            asked = f;
            return FontMetrics{13, 52 * 6};  // Tahoma 11 px: height 13, letters about 6 wide
        },
        ChildIdsOf(tpl));
    EXPECT_EQ(asked.face, "Tahoma");
    EXPECT_EQ(asked.pixelHeight, 11);
    EXPECT_EQ(asked.weight, 400);
    EXPECT_FALSE(asked.italic);
    EXPECT_EQ(layout.clientWidth, 437);
    EXPECT_EQ(layout.clientHeight, 502);
    EXPECT_EQ(layout.controls.size(), tpl.controls.size());
}

TEST(TemplateLayout, WeightAndItalicOnlyFromExtendedTemplates) {
    dlg::DialogTemplate tpl = Dialog102();
    tpl.weight = 700;
    tpl.italic = true;
    FontRequest extended = TemplateFont(tpl, 96);
    EXPECT_EQ(extended.weight, 700);
    EXPECT_TRUE(extended.italic);

    tpl.extended = false;
    FontRequest plain = TemplateFont(tpl, 96);
    EXPECT_EQ(plain.face, "宋体");
    EXPECT_EQ(plain.weight, 0);
    EXPECT_FALSE(plain.italic);
}

TEST(TemplateLayout, AverageWidthRounding) {
    struct Case {
        int alphabetWidth;
        int average;
    } cases[] = {{312, 6}, {337, 6}, {338, 7}, {286, 6}, {285, 5}, {25, 0}, {26, 1}, {0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(AverageCharWidth(c.alphabetWidth), c.average) << c.alphabetWidth;
}

// Controls are looked up among the window's children in order, each search
// starting after the previous find; the first one missing ends the layout.
TEST(TemplateLayout, ChildLookupStopsAtTheFirstMissingControl) {
    const dlg::DialogTemplate& tpl = Dialog102();
    const std::vector<int> all = ChildIdsOf(tpl);
    struct Case {
        const char* what;
        std::vector<int> children;
        std::size_t placed;
    } cases[] = {
        {"all children", all, 10},
        {"no children", {}, 0},
        {"extra children in between",
         {99, -1, 98, 1000, 1001, 1002, 1003, -1, 1006, 1004, -1, 7, 1005},
         10},
        {"bar 1001 missing", {-1, 1000, 1002, 1003, -1, 1006, 1004, -1, 1005}, 2},
        {"bars swapped", {-1, 1001, 1000, 1002, 1003, -1, 1006, 1004, -1, 1005}, 2},
        {"one label for two", {-1, 1000, 1001, 1002, 1003, 1006, 1004, -1, 1005}, 6},
    };
    for (const auto& c : cases) {
        const TemplateLayout layout = ApplyTemplateLayout(tpl, 96, SongMetrics, c.children);
        EXPECT_EQ(layout.controls.size(), c.placed) << c.what;
        EXPECT_EQ(layout.clientWidth, 437) << c.what;
        for (std::size_t i = 0; i < layout.controls.size(); ++i)
            EXPECT_EQ(layout.controls[i].index, i) << c.what;
    }
}

TEST(TemplateLayout, UnknownTemplateId) {
    EXPECT_EQ(res::FindDialogTemplate(103), nullptr);
    EXPECT_EQ(res::FindDialogTemplate(0), nullptr);
}

}  // namespace
