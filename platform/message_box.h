// Message boxes: one interface, several implementations (console, recording
// for tests, and the windowed one of the GUI).
#pragma once

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class MbButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MbIcon { None, Error, Warning, Information, Question };

// Button answers, numbered as the Windows dialog results are.
enum MbResult : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDRETRY = 4,
    IDYES = 6,
    IDNO = 7,
};

struct MessageBoxSpec {
    const void* owner = nullptr;  // owning window, or none
    std::string caption;
    std::string text;
    MbButtons buttons = MbButtons::Ok;
    MbIcon icon = MbIcon::None;
    int defaultButton = 0;  // 0 = first button, 1 = second, 2 = third
    bool topMost = false;
};

// The buttons of a box in their order on screen, as results.
std::vector<int> ButtonResults(MbButtons buttons);
// The result of the default button.
int DefaultResult(const MessageBoxSpec& box);
// Chinese label of a button result ("确定", "取消", "是", "否", "重试").
const char* ButtonLabel(int result);

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows the box and gives the result of the button pressed.
    virtual int Show(const MessageBoxSpec& box) = 0;
};

// Names the environment variable console boxes take scripted answers from
// (KORVEL_ANSWERS unless changed). Call before the first box; name must
// outlive the process.
void SetScriptedAnswersVariable(const char* name);
// The next of the scripted answers, if any are left; the answers of boxes
// and of other console prompts come from the one list, in order.
bool TakeScriptedAnswer(std::string& answer);

// Text on a stream (stderr by default). Answers come from the variable
// named above while it has any (comma-separated: yes, no, ok, cancel,
// retry, a button's letter or label, or "-" for the default button), then
// from the user when the input is a terminal; otherwise the default button
// is taken and printed.
class ConsoleMessageBoxes : public MessageBoxes {
  public:
    ConsoleMessageBoxes(std::FILE* out = stderr, int inputFd = 0);
    int Show(const MessageBoxSpec& box) override;

  private:
    std::FILE* out_;
    int inputFd_;
    std::mutex mutex_;
};

// Records every box and answers from a queue (default button when empty).
class RecordingMessageBoxes : public MessageBoxes {
  public:
    int Show(const MessageBoxSpec& box) override;
    void QueueAnswer(int result);
    std::vector<MessageBoxSpec> Shown() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<MessageBoxSpec> shown_;
    std::deque<int> answers_;
};

// The process-wide implementation used by ShowMessageBox. Starts out as a
// ConsoleMessageBoxes on stderr; the pointer is not owned. Gives the one set
// before (null for the console default).
MessageBoxes* SetMessageBoxes(MessageBoxes* boxes);
MessageBoxes& CurrentMessageBoxes();
int ShowMessageBox(const MessageBoxSpec& box);

}  // namespace platform
