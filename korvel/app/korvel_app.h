// The updater's application object: start-up up to the main window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/single_instance.h"

class CkorvelApp {
  public:
    CkorvelApp() = default;

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
};

// The one application object of the program (set by main).
CkorvelApp* TheApp();
void SetTheApp(CkorvelApp* app);
