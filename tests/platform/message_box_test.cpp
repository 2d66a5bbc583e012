#include "platform/message_box.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace platform;

std::string ReadAll(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

MessageBoxSpec Box(MbButtons buttons, int def = 0) {
    MessageBoxSpec box;
    box.caption = "korvel";
    box.text = "第一行\n第二行";
    box.buttons = buttons;
    box.icon = MbIcon::Question;
    box.defaultButton = def;
    return box;
}

TEST(MessageBoxes, DefaultButtonResults) {
    struct Case {
        MbButtons buttons;
        int def;
        int expected;
    } cases[] = {
        {MbButtons::Ok, 0, IDOK},
        {MbButtons::OkCancel, 1, IDCANCEL},
        {MbButtons::YesNo, 0, IDYES},
        {MbButtons::YesNo, 1, IDNO},
        {MbButtons::YesNoCancel, 2, IDCANCEL},
        {MbButtons::YesNo, 5, IDYES},
        {MbButtons::RetryCancel, 0, IDRETRY},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DefaultResult(Box(c.buttons, c.def)), c.expected);
}

TEST(ConsoleMessageBoxes, WithoutTerminalTakesAndPrintsTheDefault) {
    std::FILE* out = std::tmpfile();
    const int devNull = ::open("/dev/null", O_RDONLY);
    ConsoleMessageBoxes boxes(out, devNull);
    EXPECT_EQ(boxes.Show(Box(MbButtons::YesNo, 1)), IDNO);
    const std::string text = ReadAll(out);
    EXPECT_NE(text.find("korvel"), std::string::npos);
    EXPECT_NE(text.find("│ 第一行\n│ 第二行\n"), std::string::npos);
    EXPECT_NE(text.find("→ 否"), std::string::npos);

    // A GBK file name inside our UTF-8 words is shown readable.
    MessageBoxSpec named = Box(MbButtons::Ok);
    named.text = "打开更新数据文件[\xB2\xB9\xB6\xA1.dat]失败!";
    boxes.Show(named);
    EXPECT_NE(ReadAll(out).find("│ 打开更新数据文件[补丁.dat]失败!\n"), std::string::npos);
    ::close(devNull);
    std::fclose(out);
}

TEST(ConsoleMessageBoxes, OnATerminalTheUserAnswers) {
    struct Case {
        std::string typed;
        MbButtons buttons;
        int def;
        int expected;
    } cases[] = {
        {"y\n", MbButtons::YesNo, 1, IDYES},
        {"N\n", MbButtons::YesNo, 0, IDNO},
        {"\n", MbButtons::YesNo, 1, IDNO},           // Enter takes the default
        {"x\nq\n是\n", MbButtons::YesNo, 1, IDYES},  // asks again until an answer fits
        {"c\n", MbButtons::OkCancel, 0, IDCANCEL},
        {"y\no\n", MbButtons::Ok, 0, IDOK},  // "y" is no button of an OK box
    };
    for (const auto& c : cases) {
        int master = -1, slave = -1;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(::write(master, c.typed.data(), c.typed.size()),
                  static_cast<ssize_t>(c.typed.size()));
        std::FILE* out = std::tmpfile();
        ConsoleMessageBoxes boxes(out, slave);
        EXPECT_EQ(boxes.Show(Box(c.buttons, c.def)), c.expected) << c.typed;
        std::fclose(out);
        ::close(master);
        ::close(slave);
    }
}

TEST(RecordingMessageBoxes, RecordsAndAnswersInOrder) {
    RecordingMessageBoxes boxes;
    boxes.QueueAnswer(IDNO);
    EXPECT_EQ(boxes.Show(Box(MbButtons::YesNo)), IDNO);
    EXPECT_EQ(boxes.Show(Box(MbButtons::YesNo, 1)), IDNO);  // queue empty: default
    ASSERT_EQ(boxes.Shown().size(), 2u);
    EXPECT_EQ(boxes.Shown()[0].text, "第一行\n第二行");

    SetMessageBoxes(&boxes);
    EXPECT_EQ(ShowMessageBox(Box(MbButtons::Ok)), IDOK);
    EXPECT_EQ(boxes.Shown().size(), 3u);
    SetMessageBoxes(nullptr);
}

}  // namespace
