// The updater's application object: start-up up to the main window.
#pragma once

#include <cstdint>
#include <string>

#include "platform/single_instance.h"

class CkorvelApp {
  public:
    CkorvelApp() = default;

    // The start-up sequence. Always gives false: the main window runs inside
    // it, and the caller then ends the program through ExitInstance.
    bool InitInstance(const std::string& commandLine);
    // Releases the single-instance mark; gives the process exit code.
    int ExitInstance();

    std::uint32_t m_launcherValue = 0;
    bool m_expansionMode = false;
    platform::SingleInstanceMark m_hSingleInstance;
};

// The one application object of the program (set by main).
CkorvelApp* TheApp();
void SetTheApp(CkorvelApp* app);
