// Ferrel: the download engine the repair tool starts. Reads its keys from
// the command line and talks over 127.0.0.1 at InteractivePort, or over its
// own standard input and output without one.

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "Ferrel/arguments.h"
#include "Ferrel/engine.h"
#include "common/channel/console_interactive.h"
#include "common/channel/network_interactive.h"
#include "common/signing/trusted_keys.h"

namespace {

std::atomic<bool> StopRequested{false};

// The publisher keys file is the one compiled in. Only the tests' own build
// of the engine (FERREL_TRUSTED_KEYS_FROM_ENV) takes ZORNIA_TRUSTED_KEYS_FILE
// from the environment, so that each test can give its own.
std::string TrustedKeysPath() {
#ifdef FERREL_TRUSTED_KEYS_FROM_ENV
    if (const char* path = std::getenv("ZORNIA_TRUSTED_KEYS_FILE"))
        return path;
#endif
    return signing::DefaultTrustedKeysPath();
}

void OnStopSignal(int) {
    StopRequested = true;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // FERREL_OPTIONS adds arguments to those the tool passes, for a machine
    // or a test run that needs, say, "-ListenIp 127.0.0.1 -NotUsingUPnP".
    std::vector<std::string> words(argv + 1, argv + argc);
    if (const char* extra = std::getenv("FERREL_OPTIONS")) {
        const std::vector<std::string> more = ferrel::SplitCommandLine(extra);
        words.insert(words.end(), more.begin(), more.end());
    }
    const ferrel::EngineArguments args = ferrel::ReadArguments(words);
    std::unique_ptr<vellum::IInteractive> channel;
    if (args.interactivePort != 0)
        channel = std::make_unique<vellum::NetworkInteractive>(
            static_cast<std::uint16_t>(args.interactivePort));
    else
        channel = std::make_unique<vellum::ConsoleInteractive>(false);
    if (!channel->Start()) {
        std::fprintf(stderr, "Ferrel: cannot open the control channel\n");
        return 1;
    }
    int code = 0;
    {
        ferrel::Engine engine(args, *channel, signing::LoadTrustedKeys(TrustedKeysPath()));
        code = engine.Run(StopRequested);
    }
    channel->Stop();
    curl_global_cleanup();
    return code;
}
