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
#include "Ferrel/info_folder.h"
#include "Ferrel/seed_layout.h"
#include "Ferrel/web_seed_relay.h"
#include "Ferrel/web_seed_steering.h"
#include "common/channel/interactive.h"
#include "common/signing/trusted_keys.h"

namespace ferrel {

class Engine {
  public:
    // With trusted keys, the seed is used only with a good publisher
    // signature.
    Engine(EngineArguments args, vellum::IInteractive& channel, signing::TrustedKeys keys = {});
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
    void StepRetryStart();
    void StepTorrent();
    // False while a file error holds the torrent.
    bool StepFileError(Clock::time_point now);
    void WatchSources(Clock::time_point now);
    // Takes the web seeds the relay gave up on off the torrent.
    void DropSources();
    void PostUpdates();
    void HandleAlerts();
    void SaveResume(bool wait);
    void WriteResume(const std::vector<char>& data);
    // Resume data for this seed that may be trusted: in repair mode only
    // when every file is as it was when that data was saved.
    bool LoadResume(lt::add_torrent_params& atp);
    void UpdateSnapshot();
    void Shutdown();

    std::string InfoPath(const std::string& name) const;

    EngineArguments m_args;
    vellum::IInteractive& m_channel;
    StatusSnapshot m_status;
    // libtorrent reaches the web seeds only through the relay; it outlives
    // the session.
    WebSeedRelay m_relay;
    std::unique_ptr<lt::session> m_session;
    lt::torrent_handle m_torrent;
    // The torrent's status as its last update reported it; libtorrent is
    // never asked and waited for on this thread.
    lt::torrent_status m_st;
    bool m_haveStatus = false;
    bool m_adding = false;
    Clock::time_point m_nextUpdate;
    std::shared_ptr<lt::torrent_info> m_info;
    SeedLayout m_layout;
    std::string m_seed;     // the seed's bytes
    std::string m_seedMd5;  // its digest as published
    signing::TrustedKeys m_keys;
    std::string m_fetchedSignature;  // the downloaded seed's signature text
    std::future<bool> m_fetch;
    std::string m_fetched, m_fetchError;
    std::atomic<bool> m_cancel{false};
    std::uint64_t m_seedBytes = 0;  // the seed's files, pad files left out
    // The download's last sign of life, and what the sources said last.
    std::int64_t m_lastReceived = -1;
    Clock::time_point m_lastReceivedAt;
    bool m_noSource = false;
    std::string m_sourceError;
    std::vector<std::string> m_webSeeds;  // as libtorrent knows them
    // A failed start step is tried again after this pause, which grows.
    Clock::duration m_startPause;
    Clock::time_point m_startRetryAt;
    // The file error that holds the torrent: the state to go back to (-1:
    // none), how far the torrent had come, and what to report meanwhile.
    int m_errorReturn = -1;
    std::int64_t m_progressAtError = 0;
    bool m_errorRetried = false;
    std::string m_errorKind, m_errorFile;
    int m_errorCode = 0;
    bool m_diskFull = false;  // libtorrent then holds the torrent in upload mode
    Clock::time_point m_retryAt, m_nextResume;
    double m_lastVerify = -1;
    int m_lastPercentStep = -1;
    std::uint64_t m_missingAfterCheck = 0;
    bool m_checked = false;  // the folder check has ended
    bool m_infoDeleted = false;
    bool m_resumePending = false;
    // Commands: answers left until m_answersRenewAt, and whether the last
    // look at the channel found lines.
    int m_answersLeft = 0;
    Clock::time_point m_answersRenewAt{};
    bool m_tookLines = false;
    WebSeedSteering m_webSeedSteering;  // last: its thread ends before the session
};

}  // namespace ferrel
