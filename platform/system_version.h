// What kind of system the program runs on.
#pragma once

namespace platform {

// Whether the system is one of the old consumer Windows releases (95, 98,
// Me), on which a started installer may hang the updater. Never true here.
bool IsWindows9x();

}  // namespace platform
