// Chooses how the main window is shown.
#pragma once

#include <memory>

#include "korvel/app/korvel_view.h"
#include "common/message_loop.h"
#include "korvel/app/messages.h"

// Makes the windowed view; gives null when the display cannot be opened.
using WindowedViewMaker = std::unique_ptr<KorvelView> (*)(MessageLoop& loop);

// Set by programs that carry a windowed view (the korvel program does; its
// core library and the tests built on it do not).
void SetWindowedViewMaker(WindowedViewMaker maker);

// Whether CreateView will try the windowed view: this build has one, there
// is a display, and KORVEL_UI is not "console".
bool WindowedViewWanted();

// The console view when there is no display (neither DISPLAY nor
// WAYLAND_DISPLAY) or KORVEL_UI is "console"; the windowed view otherwise,
// when this build has one and it can open the display.
std::unique_ptr<KorvelView> CreateView(MessageLoop& loop);
