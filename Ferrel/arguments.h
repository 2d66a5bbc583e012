// The engine's command line: hyphen-prefixed keys, each followed by its
// values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ferrel {

enum class EngineMode { Download = 0, Update = 1, Repair = 2 };

struct EngineArguments {
    std::string dir;  // ends in "/" or "\" when given; empty when not given
    std::string postfix;
    int localTcp = 0;  // listen port, 0: any
    int localUdp = 0;
    std::int64_t uploadLimit = 0;  // bytes per second, 0: none
    std::int64_t downloadLimit = 0;
    std::string upnpText;
    bool notUsingUpnp = false;
    int httpThread = -1;  // web-seed connections, -1: one per address
    std::vector<std::string> httpUrls;
    int p2pUploadThread = 0;
    int p2pUploadListSize = 0;
    std::string torrent;
    bool deleteDownloadInfo = false;
    int reportPercentInterval = 1;
    bool infoFolderHidden = false;
    int outInfoLevel = 0;
    int logLevel = 0;
    int maxUploadNum = 0;
    int maxDownloadNum = 0;
    int maxOldLog = 0;
    std::string id;
    bool modeGiven = false;
    bool modeValid = false;  // false when Mode named none of the three
    EngineMode mode = EngineMode::Download;
    int fsys = 0;
    bool showDumpDlg = false;
    bool httpReport = false;
    bool generateDownloadInfo = false;
    int interactivePort = 0;  // 0: talk over the console
    // Address the listening sockets are bound to (this engine's own key
    // ListenIp); empty: every local address.
    std::string listenIp;
    // Seconds without any data coming in before a download that no source
    // serves is reported (this engine's own key NoSourceSeconds).
    int noSourceSeconds = 180;
    // Web seeds give way to peers (this engine's own key ShareWebSeeds; off
    // unless given, see web_seed_policy.h).
    bool shareWebSeeds = false;
};

// Keys (folded to lower case) with every value given for them, in order.
using ArgumentMap = std::map<std::string, std::vector<std::string>>;

// Groups arguments into keys and values. An argument of at least two
// characters starting with "-" names a key; following arguments that do not
// start with "-" are its values. Anything before the first key, and a lone
// "-", is dropped.
ArgumentMap GroupArguments(const std::vector<std::string>& args);

// Reads the engine's settings from the grouped arguments; keys it does not
// know are ignored, and a value that is not a number leaves its default.
EngineArguments ReadArguments(const ArgumentMap& keys);
EngineArguments ReadArguments(const std::vector<std::string>& args);

// Splits one command-line text into arguments: blanks separate them, double
// quotes group (and are removed).
std::vector<std::string> SplitCommandLine(const std::string& line);

}  // namespace ferrel
