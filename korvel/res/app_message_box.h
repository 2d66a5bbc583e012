// The two kinds of message box the updater shows.
#pragma once

#include <string>

#include "platform/message_box.h"

// The application's own box: caption is the application's name. Without an
// icon, OK and OK/Cancel boxes get the warning icon and Yes/No boxes the
// question icon, as the application framework adds them.
int AppMessageBox(const std::string& text, platform::MbButtons buttons = platform::MbButtons::Ok,
                  platform::MbIcon icon = platform::MbIcon::None, int defaultButton = 0,
                  const void* owner = nullptr);

// A system box with no owner window, caption "错误" and the error icon.
void SystemErrorBox(const std::string& text);
