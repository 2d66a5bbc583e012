// The updater's application object: start-up up to the main window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/single_instance.h"

class CkorvelDlg;
class KorvelView;
class MessageLoop;

class CkorvelApp {
  public:
    CkorvelApp();
    ~CkorvelApp();

    // The start-up sequence. Always gives false: the main window runs inside
    // it, and the caller then ends the program through ExitInstance.
    bool InitInstance(const std::string& commandLine);
    // The steps before the window: single instance, socket layer, command
    // line, paths, settings. True when the window is to run.
    bool StartUp(const std::string& commandLine);
    // Runs the main window until it ends.
    void RunMainWindow();
    // Releases the single-instance mark; gives the process exit code.
    int ExitInstance();

    // The launcher's arguments as given (the command line, unsplit, is what
    // InitInstance reads); handed on unchanged to the HTTP-mode updater.
    std::vector<std::string> m_arguments;

    std::uint32_t m_launcherValue = 0;
    bool m_expansionMode = false;
    platform::SingleInstanceMark m_hSingleInstance;

    // The publisher keys file, read once by StartUp.
    std::string m_trustedKeysPath;

    // The window's worker; empty for the mode's own (tests replace it).
    std::function<void(CkorvelDlg*)> m_worker;

  private:
    // The main window, kept from RunMainWindow to the end of the process.
    std::unique_ptr<MessageLoop> m_loop;
    std::unique_ptr<KorvelView> m_view;
    std::unique_ptr<CkorvelDlg> m_dlg;
};

// The one application object of the program (set by main).
CkorvelApp* TheApp();
void SetTheApp(CkorvelApp* app);
