// Handing addresses to the desktop.
#pragma once

#include <string>

namespace platform {

// Opens a web address (or file) with the user's preferred application,
// through xdg-open found on PATH. Failure is silent. Gives whether a
// handler could be started.
bool ShellOpen(const std::string& target);

}  // namespace platform
