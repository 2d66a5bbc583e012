// Commands to the engine and the key map of its reply lines.
#pragma once

#include <map>
#include <string>

#include "common/channel/interactive.h"

namespace vellum {

using StatusMap = std::map<std::string, std::string>;

// The last value the running engine sent for every key; cleared at each
// launch of the engine.
extern StatusMap StatusKeyMap;

// Enters one reply line "[tag]key=value" into map: the text after the first
// "]" is split at its first "=", key and value are trimmed of space, tab,
// carriage return and line feed, and the value replaces any earlier one.
// Lines without "[" or "]" or without "=" are ignored. The tag is not
// examined.
void ParseStatusLine(const std::string& line, StatusMap& map = StatusKeyMap);

// Sends command and a line feed. False when there is no channel or the send
// failed; nothing is kept for later.
bool SendCommand(IInteractive* channel, const char* command);
// Sends "get " + query as a command.
bool SendGet(IInteractive* channel, const char* query);
// Enters every line the channel has received into map.
void DrainReplies(IInteractive* channel, StatusMap& map = StatusKeyMap);

}  // namespace vellum
