// The engine's side of the control channel: its states, the reply lines and
// the answers to the tool's commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/channel/engine_states.h"

namespace ferrel {

using vellum::EngineState;
using enum vellum::EngineState;

// What "stat" and "get" report, as the engine last saw it.
struct StatusSnapshot {
    std::string userId;
    int state = BEGIN;
    double percentage = 0;            // 0 to 100 of the whole set
    double percentageDownloaded = 0;  // 0 to 100 of what the check found missing
    double curUpdatePercentage = 0;
    std::uint64_t incompleteBytes = 0;
    double uploadRate = 0;  // KB/s, 1 KB = 1000 bytes
    double downloadRate = 0;
    int uploadUsers = 0;
    int downloadUsers = 0;
    int connections = 0;
    std::uint64_t totalBytes = 0;
    bool seedKnown = false;
    std::string firstFileName;  // name of file 0 once the seed is known
};

// "[Interactive]key=value\n" in each value's form; a line feed or carriage
// return inside the value becomes a blank.
std::string ReplyText(const char* key, const std::string& value);
std::string ReplyInt(const char* key, long long value);
std::string ReplyBytes(const char* key, std::uint64_t value);
std::string ReplyFraction(const char* key, double value);

enum class CommandKind { None, Answered, Quit };

// Answers one command line from the tool. "stat", "get tb" and "get qf N"
// append their reply lines to replies; "quit" gives Quit; anything else,
// including the engine's other commands the tool never sends, gives None or
// is answered with nothing. A carriage return before the line feed and
// surrounding blanks are ignored.
CommandKind AnswerCommand(const std::string& line, const StatusSnapshot& status,
                          std::string& replies);

// Whether line is the command "quit", as AnswerCommand would find it.
bool IsQuit(const std::string& line);

}  // namespace ferrel
