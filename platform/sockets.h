// Process-wide preparation for socket use.
#pragma once

namespace platform {

// There is no socket library to start on Linux. What matters is that a send
// to a peer that has gone away gives an error (EPIPE) instead of ending the
// process with SIGPIPE, so the signal is ignored. Gives true on success.
bool InitSocketLayer();

}  // namespace platform
