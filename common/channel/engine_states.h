// The states the engine reports as P2PState, the same numbers on both ends
// of the channel.
#pragma once

namespace vellum {

// Values of the engine's P2PState key.
enum EngineState : int {
    BEGIN = 0,
    PARSE_PARA = 1,
    PARSE_PARA_ERROR = 2,
    INITING = 3,
    INIT_ERROR = 4,
    GET_SEED_MD5 = 5,
    GET_SEED_MD5_FAIL = 6,
    CHECK_SEED_FILE = 7,
    DOWNLOAD_SEED_FILE = 8,
    DOWNLOAD_SEED_FILE_FAIL = 9,
    ANALYSIS_SEED = 10,
    CREATE_FILE = 11,
    ALL_FILE_CHECK_MD5 = 12,
    ANALYSIS_SEED_ERROR = 13,
    DOWNLOADING = 14,
    DOWNLOAD_COMPLETED = 15,
    TO_QUIT = 16,
    QUIT = 17,
};

}  // namespace vellum
