// Feeds arbitrary command lines to the engine's argument reader and arbitrary
// channel lines to its command handling, and checks that the settings stay
// within their bounds and that every answer is made of whole reply lines of
// the expected number.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ferrel/arguments.h"
#include "Ferrel/commands.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

void CheckArguments(const ferrel::EngineArguments& a) {
    for (int port : {a.localTcp, a.localUdp, a.interactivePort})
        Require(port >= 0 && port <= 65535);
    Require(a.uploadLimit == 0 || (a.uploadLimit >= 3 * 1024 && a.uploadLimit <= 1048576LL * 1024));
    Require(a.downloadLimit == 0 ||
            (a.downloadLimit >= 10 * 1024 && a.downloadLimit <= 1048576LL * 1024));
    Require(a.reportPercentInterval >= 1 && a.reportPercentInterval <= 100);
    Require(a.outInfoLevel >= 0 && a.outInfoLevel <= 6);
    Require(a.httpThread >= -1);
    Require(a.dir.empty() || a.dir.back() == '/');
    Require(a.postfix.find_first_of("\"*/:<>?\\|") == std::string::npos);
    Require(!a.modeValid || a.modeGiven);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string commandLine = input.ConsumeRandomLengthString(512);
    const ferrel::EngineArguments args =
        ferrel::ReadArguments(ferrel::SplitCommandLine(commandLine));
    CheckArguments(args);

    ferrel::StatusSnapshot status;
    status.userId = args.id;
    status.state = input.ConsumeIntegral<int>();
    status.percentage = input.ConsumeFloatingPoint<double>();
    status.downloadRate = input.ConsumeFloatingPoint<double>();
    status.incompleteBytes = input.ConsumeIntegral<std::uint64_t>();
    status.totalBytes = input.ConsumeIntegral<std::uint64_t>();
    status.seedKnown = input.ConsumeBool();
    status.firstFileName = input.ConsumeRandomLengthString(64);

    std::string channel = input.ConsumeRemainingBytesAsString();
    std::size_t start = 0;
    while (start <= channel.size()) {
        std::size_t end = channel.find('\n', start);
        if (end == std::string::npos)
            end = channel.size();
        const std::string line = channel.substr(start, end - start);
        start = end + 1;
        std::string replies;
        const ferrel::CommandKind kind = ferrel::AnswerCommand(line, status, replies);
        std::size_t count = 0;
        for (std::size_t at = 0; at < replies.size();) {
            const std::size_t lf = replies.find('\n', at);
            Require(lf != std::string::npos);
            const std::string_view reply(replies.data() + at, lf - at);
            Require(reply.rfind("[Interactive]", 0) == 0);
            Require(reply.find('=') != std::string_view::npos);
            Require(reply.find('\r') == std::string_view::npos);
            ++count;
            at = lf + 1;
        }
        Require(kind == ferrel::CommandKind::Answered ? (count == 11 || count == 1) : count == 0);
    }
    return 0;
}
