// Well-known folders.
#pragma once

#include <string>

namespace platform {

// The folder for temporary files, ending in "/": $TMPDIR when set, else /tmp.
std::string TempFolder();

}  // namespace platform
