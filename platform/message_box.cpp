#include "platform/message_box.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "platform/codepage.h"

namespace platform {

std::vector<int> ButtonResults(MbButtons buttons) {
    switch (buttons) {
        case MbButtons::Ok:
            return {IDOK};
        case MbButtons::OkCancel:
            return {IDOK, IDCANCEL};
        case MbButtons::YesNo:
            return {IDYES, IDNO};
        case MbButtons::YesNoCancel:
            return {IDYES, IDNO, IDCANCEL};
        case MbButtons::RetryCancel:
            return {IDRETRY, IDCANCEL};
    }
    return {IDOK};
}

int DefaultResult(const MessageBoxSpec& box) {
    const std::vector<int> results = ButtonResults(box.buttons);
    // An out-of-range default falls back to the first button, as on Windows.
    if (box.defaultButton < 0 || static_cast<std::size_t>(box.defaultButton) >= results.size())
        return results.front();
    return results[static_cast<std::size_t>(box.defaultButton)];
}

const char* ButtonLabel(int result) {
    switch (result) {
        case IDOK:
            return "确定";
        case IDCANCEL:
            return "取消";
        case IDRETRY:
            return "重试";
        case IDYES:
            return "是";
        case IDNO:
            return "否";
        default:
            return "?";
    }
}

namespace {

const char* IconLabel(MbIcon icon) {
    switch (icon) {
        case MbIcon::Error:
            return "错误";
        case MbIcon::Warning:
            return "警告";
        case MbIcon::Information:
            return "信息";
        case MbIcon::Question:
            return "询问";
        case MbIcon::None:
            break;
    }
    return nullptr;
}

// The key a user types for a button at a console prompt.
char ButtonKey(int result) {
    switch (result) {
        case IDOK:
            return 'o';
        case IDCANCEL:
            return 'c';
        case IDRETRY:
            return 'r';
        case IDYES:
            return 'y';
        case IDNO:
            return 'n';
        default:
            return '?';
    }
}

bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        line.push_back(c);
    }
}

// Maps a typed answer to a button of the box; 0 when it names none.
int ParseAnswer(std::string_view answer, const std::vector<int>& results, int def) {
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
        answer.remove_suffix(1);
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.front())))
        answer.remove_prefix(1);
    if (answer.empty())
        return def;
    for (int r : results) {
        if (answer == ButtonLabel(r))
            return r;
        if (answer.size() == 1 &&
            std::tolower(static_cast<unsigned char>(answer[0])) == ButtonKey(r))
            return r;
    }
    return 0;
}

std::atomic<const char*> g_answersVariable{"KORVEL_ANSWERS"};

}  // namespace

// Answers given in advance through the answers variable ("yes,no,ok", also
// the button letters or labels; "-" takes the default), used up in order.
bool TakeScriptedAnswer(std::string& answer) {
    static std::mutex mutex;
    static std::deque<std::string> answers;
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (!loaded) {
        loaded = true;
        if (const char* env = std::getenv(g_answersVariable.load())) {
            std::string_view rest = env;
            while (!rest.empty()) {
                const std::size_t comma = rest.find(',');
                answers.emplace_back(rest.substr(0, comma));
                rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            }
        }
    }
    if (answers.empty())
        return false;
    answer = answers.front();
    answers.pop_front();
    return true;
}

namespace {

int ScriptedResult(std::string word, const std::vector<int>& results, int def) {
    for (auto& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const std::pair<const char*, int> kWords[] = {
        {"yes", IDYES}, {"no", IDNO}, {"ok", IDOK}, {"cancel", IDCANCEL}, {"retry", IDRETRY}};
    for (const auto& [w, r] : kWords)
        if (word == w && std::find(results.begin(), results.end(), r) != results.end())
            return r;
    const int r = ParseAnswer(word, results, def);
    return r ? r : def;
}

ConsoleMessageBoxes& DefaultBoxes() {
    static ConsoleMessageBoxes boxes;
    return boxes;
}

std::atomic<MessageBoxes*> g_current{nullptr};

}  // namespace

ConsoleMessageBoxes::ConsoleMessageBoxes(std::FILE* out, int inputFd)
    : out_(out), inputFd_(inputFd) {}

int ConsoleMessageBoxes::Show(const MessageBoxSpec& box) {
    std::lock_guard lock(mutex_);
    const std::vector<int> results = ButtonResults(box.buttons);
    const int def = DefaultResult(box);

    std::string buttons;
    for (int r : results) {
        if (!buttons.empty())
            buttons += " / ";
        buttons += ButtonLabel(r);
        buttons += '(';
        buttons += ButtonKey(r);
        buttons += ')';
    }
    const char* icon = IconLabel(box.icon);
    std::fprintf(out_, "\n┌─ %s%s%s%s\n", DisplayText(box.caption).c_str(), icon ? " [" : "",
                 icon ? icon : "", icon ? "]" : "");
    const std::string shown = DisplayText(box.text);
    std::string_view text = shown;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::fprintf(out_, "│ %.*s\n", static_cast<int>(text.substr(0, nl).size()), text.data());
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }

    std::string scripted;
    if (TakeScriptedAnswer(scripted)) {
        const int r = ScriptedResult(scripted, results, def);
        std::fprintf(out_, "└─ %s → %s (%s)\n", buttons.c_str(), ButtonLabel(r),
                     g_answersVariable.load());
        std::fflush(out_);
        return r;
    }
    if (!::isatty(inputFd_)) {
        std::fprintf(out_, "└─ %s → %s\n", buttons.c_str(), ButtonLabel(def));
        std::fflush(out_);
        return def;
    }
    for (;;) {
        std::fprintf(out_, "└─ %s [默认: %s] > ", buttons.c_str(), ButtonLabel(def));
        std::fflush(out_);
        std::string line;
        if (!ReadLine(inputFd_, line)) {
            std::fprintf(out_, "%s\n", ButtonLabel(def));
            return def;
        }
        if (const int r = ParseAnswer(line, results, def))
            return r;
    }
}

int RecordingMessageBoxes::Show(const MessageBoxSpec& box) {
    std::lock_guard lock(mutex_);
    shown_.push_back(box);
    if (answers_.empty())
        return DefaultResult(box);
    const int r = answers_.front();
    answers_.pop_front();
    return r;
}

void RecordingMessageBoxes::QueueAnswer(int result) {
    std::lock_guard lock(mutex_);
    answers_.push_back(result);
}

std::vector<MessageBoxSpec> RecordingMessageBoxes::Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void RecordingMessageBoxes::Clear() {
    std::lock_guard lock(mutex_);
    shown_.clear();
    answers_.clear();
}

MessageBoxes* SetMessageBoxes(MessageBoxes* boxes) {
    return g_current.exchange(boxes);
}

MessageBoxes& CurrentMessageBoxes() {
    MessageBoxes* boxes = g_current.load();
    return boxes ? *boxes : DefaultBoxes();
}

int ShowMessageBox(const MessageBoxSpec& box) {
    return CurrentMessageBoxes().Show(box);
}

void SetScriptedAnswersVariable(const char* name) {
    g_answersVariable = name;
}

}  // namespace platform
