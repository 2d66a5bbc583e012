// The repair tool's main window: it starts the engine on the repair folder,
// shows its status once a second, restarts it when it stalls or quits, and
// ends with the game start or a confirmed cancel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Vellum/app/vellum_view.h"
#include "Vellum/engine/engine_status.h"
#include "common/message_loop.h"

namespace vellum {

// The window's 1-second timer.
inline constexpr unsigned kTickTimer = 0;
inline constexpr unsigned kTickPeriodMs = 1000;
// While the engine is being restarted: one start attempt a second.
inline constexpr unsigned kRestartTimer = 1;
inline constexpr unsigned kRestartPauseMs = 1000;
// A restart that has not succeeded after this long ends the old engine...
inline constexpr std::uint64_t kRestartKillMs = 30000;
// ...and after this long gives up with the launch failure box.
inline constexpr std::uint64_t kRestartGiveUpMs = 35000;

// Messages the window posts to itself.
inline constexpr unsigned kMsgDiskWarning = 1;

// Time as the window sees it: a millisecond tick count that is never 0.
// Tests replace it.
struct DlgClock {
    std::function<std::uint64_t()> tickMs;
};
DlgClock SystemClock();

class CVellumDlg;

// What tests replace: time, the engine start, the game start and the exit.
struct VellumDlgHooks {
    DlgClock clock = SystemClock();
    // Starts the engine with the HTTP thread count; StartEngine unless
    // replaced.
    std::function<bool(CVellumDlg&, int httpThreads)> startEngine;
    // Ends the engine of the last launch when it does not go by itself;
    // KillEngine unless replaced.
    std::function<bool()> endEngine;
    // Starts the game program from the repair folder.
    std::function<void(const std::string& program, const std::string& folder)> startGame;
    // Ends the process at once with the exit code.
    std::function<void(int code)> exitProcess;
};

class CVellumDlg {
  public:
    using Hooks = VellumDlgHooks;

    CVellumDlg(std::string repairDir, VellumView& view, MessageLoop& loop, Hooks hooks = {});
    CVellumDlg(const CVellumDlg&) = delete;
    CVellumDlg& operator=(const CVellumDlg&) = delete;

    // Shows the window and runs it until it ends; gives the end's result.
    int DoModal();

    // Handlers.
    bool OnInitDialog();
    void OnTick();
    void OnRestartTimer();
    void OnMessage(Message& message);
    void OnActionButton();
    void EndDialog(int result);

    // What the engine start and stop need of the window.
    const std::string& RepairDir() const { return m_repairDir; }
    VellumView& View() { return m_view; }
    void StartTickTimer();
    void StopTickTimer();
    bool TickTimerRunning() const;
    void ZeroShownRates() { m_downRate = m_upRate = 0; }

    // The display state, for tests.
    const EngineStatus& Status() const { return m_status; }
    const std::string& ShownFileName() const { return m_shownFileName; }
    float DownRate() const { return m_downRate; }
    float UpRate() const { return m_upRate; }
    const std::string& TimeText() const { return m_timeText; }
    bool Ended() const { return m_ended; }
    bool Restarting() const { return m_restart.active; }

  private:
    void ShowDownloading();
    void ShowOtherState();
    void WatchProgress();
    void RestartAfterStall();
    void RestartNearCompletion();
    void RestartAfterQuit();
    // Starts the engine again without holding the window: at once when
    // tryNow, then once a second on the restart timer.
    void BeginRestart(int httpThreads, bool tryNow);
    bool TryRestart();
    void ShowDiskWarning();
    bool ShowLaunchFailed();
    bool StartEngineNow(int httpThreads);
    std::uint64_t Now() const { return m_hooks.clock.tickMs(); }

    std::string m_repairDir;
    VellumView& m_view;
    MessageLoop& m_loop;
    Hooks m_hooks;
    bool m_ended = false;

    EngineStatus m_status;
    std::string m_shownFileName;
    float m_downRate = 0;
    float m_upRate = 0;
    std::string m_rateText;
    std::string m_timeText;
    float m_lastPercent = 0;
    std::uint64_t m_stallSince = 0;
    std::uint64_t m_nearDoneSince = 0;
    bool m_diskWarned = false;

    struct Restart {
        bool active = false;
        int httpThreads = 0;
        std::uint64_t since = 0;   // when it began
        bool engineEnded = false;  // the old engine has been killed
        int lastError = 0;         // errno of the last failed attempt
    } m_restart;
};

// Writes the engine out, starts it on the window's folder and starts the
// tick. False when the engine cannot be written out or the seed address is
// unknown.
bool StartEngine(CVellumDlg& dlg, int httpThreads);
// Tells the engine to quit, zeroes the shown rates and stops the tick. It
// neither waits for the engine nor closes the channel.
void StopEngine(CVellumDlg& dlg);

// The text of the status line for an engine state; null for states that
// leave the line as it was.
const char* StateText(int state);

// Process-wide download and upload rate rings and the stall restarts' thread
// count; they live as long as the process. Tests start them afresh.
void ResetRateRings();

}  // namespace vellum
