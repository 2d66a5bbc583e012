#include "platform/system_version.h"

namespace platform {

bool IsWindows9x() {
    return false;
}

}  // namespace platform
