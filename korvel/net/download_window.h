// What the file downloads need of the main window.
#pragma once

#include <cstdint>
#include <string>

class DownloadWindow {
  public:
    virtual ~DownloadWindow() = default;
    // Posts a text for the status line (WM_STATUS_TEXT, wParam 0).
    virtual void PostStatusText(const std::string& text) = 0;
    // Sets the download bar (control 1000) to 0..100 and waits until it is set.
    virtual void SetDownloadBar(int percent) = 0;
    // A modal box over the window with the program's name and an OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    // Posts WM_EXPANSION_DONE (0, 0).
    virtual void PostExpansionDone() = 0;
    // Stores the BitTorrent watch state (m_btState) as one aligned write.
    virtual void SetBtState(std::int32_t state) = 0;
};
