// Ferrel: the download engine the repair tool starts. Reads its keys from
// the command line and talks over 127.0.0.1 at InteractivePort, or over its
// own standard input and output without one.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "Ferrel/arguments.h"
#include "Ferrel/engine.h"
#include "Vellum/interactive/console_interactive.h"
#include "Vellum/interactive/network_interactive.h"

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

    const ferrel::EngineArguments args =
        ferrel::ReadArguments(std::vector<std::string>(argv + 1, argv + argc));
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
