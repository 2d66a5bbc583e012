#include "Vellum/app/vellum_app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>

#include "Vellum/res/strings.h"
#include "tests/Vellum/app/recording_vellum_view.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vellum;
using testing_support::RecordingVellumView;

// The start-up with recorded boxes, scripted folder choices and an engine
// that cannot be started, so the window ends through the cancel question.
class StartUpTest : public ::testing::Test {
  protected:
    void SetUp() override { previous = platform::SetMessageBoxes(&boxes); }
    void TearDown() override {
        platform::SetMessageBoxes(previous);
        SetStringTable(nullptr);
    }

    bool Run() {
        CVellumApp::Ui ui;
        ui.pickFolder = [this](std::string& folder) {
            ++picks;
            if (choices.empty())
                return false;
            folder = choices.front();
            choices.pop_front();
            return true;
        };
        ui.makeView = [this](MessageLoop&) -> std::unique_ptr<VellumView> {
            auto v = std::make_unique<RecordingVellumView>();
            v->answers = {platform::IDNO};  // to the cancel question
            view = v.get();
            return v;
        };
        ui.hooks.startEngine = [](CVellumDlg&, int) { return false; };
        ui.hooks.exitProcess = [this](int code) { exits.push_back(code); };
        app = std::make_unique<CVellumApp>(std::move(ui));  // owns the view
        return app->InitInstance();
    }
    std::vector<std::string> Captions() const {
        std::vector<std::string> out;
        for (const auto& b : boxes.Shown())
            out.push_back(b.caption);
        return out;
    }

    platform::RecordingMessageBoxes boxes;
    platform::MessageBoxes* previous = nullptr;
    std::deque<std::string> choices;
    int picks = 0;
    std::unique_ptr<CVellumApp> app;
    RecordingVellumView* view = nullptr;
    std::vector<int> exits;
};

TEST_F(StartUpTest, NoAndACancelledChooserEndWithoutTheWindow) {
    boxes.QueueAnswer(platform::IDOK);
    boxes.QueueAnswer(platform::IDNO);
    EXPECT_FALSE(Run());
    EXPECT_EQ(picks, 1);
    EXPECT_EQ(view, nullptr);
    ASSERT_EQ(boxes.Shown().size(), 2u);
    EXPECT_EQ(boxes.Shown()[0].text.rfind("【使用说明】", 0), 0u);
    EXPECT_EQ(boxes.Shown()[1].buttons, platform::MbButtons::YesNo);
    EXPECT_EQ(Captions(), std::vector<std::string>(2, "《ZorniaⅡ》客户端修复工具"));
}

TEST_F(StartUpTest, YesRepairsTheCurrentDirectoryAndMissingTitlesFallBack) {
    const StringTable withoutTitle = {{IDS_SEED_URL, "http://127.0.0.1/zornfix.data"}};
    SetStringTable(&withoutTitle);
    boxes.QueueAnswer(platform::IDOK);
    boxes.QueueAnswer(platform::IDYES);
    EXPECT_FALSE(Run());
    EXPECT_EQ(picks, 0);
    EXPECT_EQ(Captions(), std::vector<std::string>(2, "Vespera下载器"));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->title, "Vespera游戏下载");
    EXPECT_EQ(view->Text(IDC_REPAIR_DIR), std::filesystem::current_path().string());
    // The engine could not start: the cancel question, answered No, lets
    // the window close without ending the process.
    ASSERT_EQ(view->boxes.size(), 1u);
    EXPECT_EQ(view->boxes[0].caption, "取消确认");
    EXPECT_TRUE(exits.empty());
}

TEST_F(StartUpTest, FoldersThatCannotBeWrittenAreRefusedAndTheChooserReturns) {
    testing_support::TempDir dir;
    choices = {"", dir.Sub("missing")};
    if (::geteuid() != 0) {  // root writes anywhere
        ASSERT_EQ(::mkdir(dir.Sub("locked").c_str(), 0555), 0);
        choices.push_back(dir.Sub("locked"));
    }
    const std::size_t refused = choices.size();
    choices.push_back(dir.path());
    boxes.QueueAnswer(platform::IDOK);
    boxes.QueueAnswer(platform::IDNO);
    EXPECT_FALSE(Run());
    EXPECT_EQ(static_cast<std::size_t>(picks), refused + 1);
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 2 + refused);
    for (std::size_t i = 2; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].caption, "选择文件夹");
        EXPECT_EQ(shown[i].text, "该文件夹为只读，请重新选择");
    }
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->Text(IDC_REPAIR_DIR), dir.path());
}

}  // namespace
