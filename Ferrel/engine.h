// The download engine: fetches the seed, checks the client folder against it
// and downloads what is missing from peers and web seeds, reporting over its
// control channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

#include "Ferrel/arguments.h"
#include "Ferrel/commands.h"
#include "Ferrel/seed_layout.h"
#include "Ferrel/web_seed_steering.h"
#include "common/channel/interactive.h"

namespace ferrel {

// Name of the hidden folder inside the client folder that keeps the cached
// seed and the resume data.
inline constexpr const char* kInfoFolder = ".ferrel";

class Engine {
  public:
    Engine(EngineArguments args, vellum::IInteractive& channel);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Runs until "quit", the channel's end or stop; gives the exit code.
    int Run(const std::atomic<bool>& stop);

  private:
    using Clock = std::chrono::steady_clock;

    void SetState(int state);
    void Send(const std::string& text);
    void ReportError(const char* kind, int code, const std::string& file);
    // False when the engine is to shut down.
    bool HandleCommands();
    void Step();
    void StepParse();
    void StepInit();
    void StepSeedMd5();
    void StepCheckSeed();
    void StepDownloadSeed();
    void StepAnalyse();
    void StepCreateFiles();
    void StepTorrent();
    void HandleAlerts();
    void SaveResume(bool wait);
    void WriteResume(const std::vector<char>& data);
    void UpdateSnapshot(bool withPeers);
    void Shutdown();

    std::string InfoPath(const std::string& name) const;

    EngineArguments m_args;
    vellum::IInteractive& m_channel;
    StatusSnapshot m_status;
    std::unique_ptr<lt::session> m_session;
    lt::torrent_handle m_torrent;
    std::shared_ptr<lt::torrent_info> m_info;
    SeedLayout m_layout;
    std::string m_seed;     // the seed's bytes
    std::string m_seedMd5;  // its digest as published
    std::future<bool> m_fetch;
    std::string m_fetched, m_fetchError;
    std::atomic<bool> m_cancel{false};
    int m_errorReturn = -1;  // state to go back to after a file error, -1: none
    Clock::time_point m_retryAt, m_nextResume, m_nextPeers;
    double m_lastVerify = -1;
    int m_lastPercentStep = -1;
    std::uint64_t m_missingAfterCheck = 0;
    bool m_checked = false;  // the folder check has ended
    bool m_infoDeleted = false;
    bool m_resumePending = false;
    WebSeedSteering m_webSeeds;  // last: its thread ends before the session
};

}  // namespace ferrel
