#include "korvel/app/korvel_app.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/message_loop.h"
#include "korvel/app/command_line.h"
#include "korvel/app/globals.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/app/messages.h"
#include "korvel/app/view_factory.h"
#include "korvel/bt/script_host.h"
#include "korvel/res/app_message_box.h"
#include "korvel/res/strings.h"
#include "korvel/update/settings.h"
#include "platform/sockets.h"

namespace {
CkorvelApp* g_app = nullptr;
}

CkorvelApp* TheApp() {
    return g_app;
}
void SetTheApp(CkorvelApp* app) {
    g_app = app;
}

CkorvelApp::CkorvelApp() : m_trustedKeysPath(signing::DefaultTrustedKeysPath()) {}
CkorvelApp::~CkorvelApp() = default;

bool CkorvelApp::InitInstance(const std::string& commandLine) {
    if (!StartUp(commandLine))
        return false;
    SetTorrentExpansionMode(m_expansionMode);
    RunMainWindow();
    return false;
}

bool CkorvelApp::StartUp(const std::string& commandLine) {
    // One updater at a time. Taking the lock is the test and the mark in one
    // atomic step; when no lock file can be made at all, run unguarded.
    using Mark = platform::SingleInstanceMark;
    if (m_hSingleInstance.Acquire(res::LoadString(res::IDS_INSTANCE_NAME)) ==
        Mark::Result::HeldElsewhere) {
        AppMessageBox(res::LoadString(res::IDS_ALREADY_RUNNING));
        return false;
    }

    if (!platform::InitSocketLayer()) {
        AppMessageBox(res::LoadString(res::IDS_SOCKETS_INIT_FAILED));
        return false;
    }

    LaunchArguments args;
    switch (ParseCommandLine(commandLine, args)) {
        case CommandLineStatus::Empty:
            SystemErrorBox(res::LoadString(res::IDS_RUN_GAME));
            return false;
        case CommandLineStatus::NoSpace:
            SystemErrorBox("自动更新参数错误，请运行zorn.exe!");
            return false;
        case CommandLineStatus::BadValue:
            return false;
        case CommandLineStatus::Ok:
            break;
    }
    m_launcherValue = args.value;
    m_expansionMode = args.expansionMode;

    GameDir = MakeGameDir(args.gameDirectory);
    DownloadDir = MakeDownloadDir(args.gameDirectory);
    // After GameDir: the settings file is found through it.
    ReportUrl = ReadSetting("", setting::kReportUrl, res::kDefaultReportUrl);
    // Without a keys file nothing is checked; an unsafe one refuses every
    // download later, each with its own box.
    PublisherKeys = signing::LoadTrustedKeys(m_trustedKeysPath);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return true;
}

void CkorvelApp::RunMainWindow() {
    // Run as a modal dialog; most ways out of it end the process directly.
    // The window's objects stay until the process ends: after the page's
    // cancel or Escape the worker may still reach them until it sees the
    // stop flags, and the process ends without unwinding right after.
    m_loop = std::make_unique<MessageLoop>();
    m_view = CreateView(*m_loop);
    CkorvelDlg::Options options;
    options.expansionMode = m_expansionMode;
    options.launcherArguments = m_arguments;
    options.worker = m_worker;
    // The interpreter for BitTorrent downloads, started once the window is
    // on screen. A runtime piece that is missing does not stop the program:
    // each BitTorrent download then says so in a box, and HTTP downloads
    // work as ever.
    options.beforeWorker = [] { InitScriptHost(); };
    m_dlg = std::make_unique<CkorvelDlg>(*m_view, *m_loop, std::move(options));
    SetTorrentMainWindow(m_dlg.get());
    m_dlg->DoModal();
    // A torrent may still run: it is told to stop, and the interpreter goes
    // only once it has. One that does not end in time ends with the program.
    if (!FinalizeScriptHost())
        ExitProcessNow(ExitInstance());
    SetTorrentMainWindow(nullptr);
}

int CkorvelApp::ExitInstance() {
    m_hSingleInstance.Release();
    return 0;
}
