// Chooses how the main window is shown.
#pragma once

#include <memory>

#include "korvel/app/korvel_view.h"
#include "korvel/app/message_loop.h"

// The console view when there is no display (neither DISPLAY nor
// WAYLAND_DISPLAY) or KORVEL_UI is "console"; the windowed view otherwise,
// when this build has one and it can open the display.
std::unique_ptr<KorvelView> CreateView(MessageLoop& loop);
