// Window messages, timers and control ids of the updater's main window.
#pragma once

#include "common/message.h"

// Window messages.
enum WindowMessage : unsigned {
    WM_STATUS_TEXT = 1125,        // wParam 0 status line, 1 file line; text
    WM_FINISH = 1126,             // wParam FinishReason
    WM_CLOSING_TIME = 1127,       // lParam seconds of the closing countdown
    WM_TOTAL_SIZE = 2025,         // size pair: total bytes of the running torrent
    WM_DOWNLOADS_DONE = 2026,     //
    WM_DOWNLOAD_PROGRESS = 2027,  // percent (or none); text (or none)
    WM_DOWNLOAD_STATUS = 2028,    // text (or none)
    WM_EXPANSION_DONE = 2029,     //
};

enum FinishReason : int { FINISH_NORMAL = 0, FINISH_CANCEL = 1, FINISH_SWITCH_HTTP = 2 };

// Timers (period 1000 ms).
enum WindowTimer : unsigned { TIMER_CLOSING = 1, TIMER_BT_WATCH = 1001 };

// Controls of dialog template 102.
enum ControlId : int {
    IDC_PROGRESS_DOWNLOAD = 1000,  // "下载进度"
    IDC_PROGRESS_UPDATE = 1001,    // update progress, later the closing countdown
    IDC_TEXT_FILE = 1002,
    IDC_TEXT_TOTAL = 1003,
    IDC_TEXT_STATUS = 1004,
    IDC_TEXT_DONE = 1005,
    IDC_TEXT_PROGRESS = 1006,  // label of bar 1001
};
