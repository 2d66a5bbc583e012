// Commands to the engine and the key map of its reply lines.
#pragma once

#include <cstddef>
#include <limits>
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
// Enters the lines the channel has received into map, at most maxLines of
// them (the rest wait for the next call); gives how many it entered.
std::size_t DrainReplies(IInteractive* channel, StatusMap& map = StatusKeyMap,
                         std::size_t maxLines = std::numeric_limits<std::size_t>::max());

}  // namespace vellum
