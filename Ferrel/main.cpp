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

namespace {

std::atomic<bool> StopRequested{false};

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
        ferrel::Engine engine(args, *channel);
        code = engine.Run(StopRequested);
    }
    channel->Stop();
    curl_global_cleanup();
    return code;
}
