// What the repair tool knows of the running engine: the status record
// filled once a second from the engine's reply lines, and the kinds of
// error it reports.
#pragma once

#include <cstdint>
#include <string>

#include "common/channel/engine_states.h"

namespace vellum {

enum EngineErrorKind : int {
    ENGINE_ERROR_NONE = 0,
    ENGINE_ERROR_DISK_FULL = 1,  // a write failed and the disk is short of space
    ENGINE_ERROR_OPEN_FILE = 2,
    ENGINE_ERROR_SET_FILE_SIZE = 3,
    ENGINE_ERROR_WRITE_FILE = 4,  // a write failed with enough space
    ENGINE_ERROR_DOWNLOAD_TORRENT = 5,
    ENGINE_ERROR_DOWNLOAD_SEED = 6,
    ENGINE_ERROR_READ_SEED = 7,
};

struct EngineStatus {
    float downloadRate = 0;  // KB/s, 1 KB = 1000 bytes
    float uploadRate = 0;    // KB/s
    std::uint64_t incompleteBytes = 0;
    std::uint64_t totalBytes = 0;
    float percent = 0;         // 0..100
    float verifyFraction = 0;  // 0..1
    int state = BEGIN;
    EngineErrorKind errorKind = ENGINE_ERROR_NONE;
    std::string fileName;
    std::string errorFile;  // what the engine named with its last error
};

// The process-wide record the poll fills.
extern EngineStatus g_engineStatus;

// Zero numbers (state BEGIN) and empty texts.
void ResetEngineStatus(EngineStatus& status = g_engineStatus);

}  // namespace vellum
