// The repair window's handlers with a recording view, a scripted engine
// channel and a clock the test moves; shared by the window's test files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Vellum/app/vellum_dlg.h"
#include "Vellum/engine/launch.h"
#include "common/channel/status_lines.h"
#include "tests/Vellum/app/recording_vellum_view.h"
#include "tests/support/temp_dir.h"

namespace vellum_dlg_testing {

using namespace vellum;
using testing_support::RecordingVellumView;
using testing_support::ScriptedChannel;

class VellumDlgTest : public ::testing::Test {
  protected:
    // Also called again by table tests: a fresh window and engine each time.
    void SetUp() override {
        view = RecordingVellumView();
        view.SetAction([this] { dlg->OnActionButton(); });
        now = 1;
        failStarts = 0;
        ends = 0;
        starts.clear();
        games.clear();
        exits.clear();
        ResetRateRings();
        ResetEngineStatus();
        StatusKeyMap.clear();
        CVellumDlg::Hooks hooks;
        hooks.clock.tickMs = [this] { return now; };
        hooks.startEngine = [this](CVellumDlg& d, int threads) { return FakeStart(d, threads); };
        hooks.endEngine = [this] {
            ++ends;
            return true;
        };
        hooks.startGame = [this](const std::string& program, const std::string& folder) {
            games.push_back(program + " in " + folder);
        };
        hooks.exitProcess = [this](int code) { exits.push_back(code); };
        dlg = std::make_unique<CVellumDlg>(dir.path(), view, loop, hooks);
        // Posted messages reach the window; its timers are fired by Tick
        // (the loop's own timers run in real time and are ignored).
        loop.SetHandlers([this](Message& m) { dlg->OnMessage(m); }, [](unsigned) {});
        dlg->OnInitDialog();
    }

    // What a launch does to the tool's side: a fresh channel, and the status
    // and key map of the previous engine forgotten.
    bool FakeStart(CVellumDlg& d, int threads) {
        starts.push_back(threads);
        if (failStarts > 0) {
            --failStarts;
            return false;
        }
        auto fresh = std::make_unique<ScriptedChannel>();
        channel = fresh.get();
        LaunchState& launch = CurrentLaunch();
        retired.push_back(std::move(launch.channel));  // tests still read it
        launch.channel = std::move(fresh);
        launch.needFileName = true;
        launch.engineExited = false;
        launch.launchError = 0;
        launch.params.repairDir = dir.path();
        ResetEngineStatus();
        StatusKeyMap.clear();
        d.StartTickTimer();
        return true;
    }

    void Feed(const std::vector<std::string>& keyValues) {
        for (const auto& kv : keyValues)
            channel->lines.push_back("[Interactive]" + kv + "\r");
    }
    // One second of the window with the lines the engine sent since the
    // last one: the restart timer fires while a restart waits, the tick
    // timer otherwise; then posted messages are handled.
    void Tick(const std::vector<std::string>& keyValues = {}) {
        Feed(keyValues);
        if (loop.HasTimer(kRestartTimer))
            dlg->OnRestartTimer();
        else if (loop.HasTimer(kTickTimer))
            dlg->OnTick();
        loop.DrainPending();
    }
    // Ticks once a second for the given time.
    void TickFor(std::uint64_t ms, const std::vector<std::string>& keyValues = {}) {
        for (std::uint64_t end = now + ms; now < end; now += 1000)
            Tick(keyValues);
    }
    long Quits() const { return std::count(channel->sent.begin(), channel->sent.end(), "quit\n"); }

    testing_support::TempDir dir;
    MessageLoop loop;
    RecordingVellumView view;
    std::unique_ptr<CVellumDlg> dlg;
    ScriptedChannel* channel = nullptr;
    std::vector<std::unique_ptr<vellum::IInteractive>> retired;
    std::uint64_t now = 1;
    int failStarts = 0;
    int ends = 0;
    std::vector<int> starts;
    std::vector<std::string> games;
    std::vector<int> exits;
};

}  // namespace vellum_dlg_testing
