// What other threads call on the main window: posting messages with their
// payloads, and the few calls that run on the window's thread and wait.
#include <memory>
#include <mutex>
#include <utility>

#include "korvel/app/korvel_dlg.h"
#include "korvel/res/app_message_box.h"
#include "korvel/res/strings.h"

using platform::MbButtons;
using platform::MbIcon;
using platform::MessageBoxSpec;

namespace {
// WM_STATUS_TEXT with a copy of the text; wParam 0 status line, 1 file line.
Message StatusTextMessage(std::int64_t line, const std::string& text) {
    Message m;
    m.id = WM_STATUS_TEXT;
    m.wParam = line;
    m.text = std::make_unique<std::string>(text);
    return m;
}
}  // namespace

void CkorvelDlg::PostStatusText(const std::string& text) {
    Post(StatusTextMessage(0, text));
}

void CkorvelDlg::PostFileText(const std::string& text) {
    Post(StatusTextMessage(1, text));
}

void CkorvelDlg::PostTotalSize(std::int64_t bytes) {
    Message m;
    m.id = WM_TOTAL_SIZE;
    const auto value = static_cast<std::uint64_t>(bytes);
    m.size = std::make_unique<std::pair<std::uint32_t, std::uint32_t>>(
        static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32));
    Post(std::move(m));
}

void CkorvelDlg::PostDownloadProgress(double percent, const std::string& text) {
    Message m;
    m.id = WM_DOWNLOAD_PROGRESS;
    m.percent = std::make_unique<double>(percent);
    m.text = std::make_unique<std::string>(text);
    Post(std::move(m));
}

void CkorvelDlg::PostDownloadStatus(const std::string& text) {
    Message m;
    m.id = WM_DOWNLOAD_STATUS;
    m.text = std::make_unique<std::string>(text);
    Post(std::move(m));
}

void CkorvelDlg::SetBtWatchTimer() {
    m_loop.Call([this] { m_loop.SetTimer(TIMER_BT_WATCH, 1000); });
}

void CkorvelDlg::KillTimer(unsigned id) {
    m_loop.Call([this, id] { m_loop.KillTimer(id); });
}

void CkorvelDlg::SetDownloadBar(int percent) {
    m_loop.Call([this, percent] {
        m_progressDownload = percent;
        m_view.SetBar(IDC_PROGRESS_DOWNLOAD, percent);
    });
}

void CkorvelDlg::ShowMessage(const std::string& text) {
    AppMessageBox(text, MbButtons::Ok, MbIcon::None, 0, this);
}

int CkorvelDlg::ShowBox(MessageBoxSpec box) {
    if (box.caption.empty())
        box.caption = res::kAppName;
    box.owner = this;
    if (m_loop.IsLoopThread())
        return m_view.MessageBox(box);
    int result = platform::DefaultResult(box);
    m_loop.Call([&] { result = m_view.MessageBox(box); });
    return result;
}
