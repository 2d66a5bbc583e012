// One poll of the running engine: the commands of a tick, the replies that
// have arrived, and the key map turned into the status record.
#pragma once

#include "Vellum/engine/engine_status.h"
#include "common/channel/status_lines.h"

namespace vellum {

// Sends "stat", "get tb" and, while the engine has not named the file yet,
// "get qf 0"; enters the replies waiting on the channel (at most a thousand
// lines a tick); applies the key map to g_engineStatus and copies it into
// `into`. Never waits for an answer.
void PollEngine(EngineStatus& into);

// Applies every key of map that the status record knows to status. Values
// that do not read as numbers leave their fields as they were.
void ApplyStatusKeys(const StatusMap& map = StatusKeyMap, EngineStatus& status = g_engineStatus);

// Whether the free space available to the user on the repair folder's volume
// covers the bytes still missing. True when the space cannot be asked for.
bool DiskSpaceSuffices(const EngineStatus& status = g_engineStatus);

}  // namespace vellum
