#include "common/channel/network_interactive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/channel/channel_support.h"

#include "common/channel/status_lines.h"

namespace {

using namespace channel_support;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A plain TCP client on 127.0.0.1, standing in for the engine.
class Client {
  public:
    explicit Client(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in address = Loopback(port);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            Close();
    }
    ~Client() { Close(); }
    bool Connected() const { return m_fd >= 0; }
    bool Send(const std::string& s) {
        return ::send(m_fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // Reads until want bytes came or the time is up.
    std::string Receive(std::size_t want) {
        std::string got;
        const auto deadline = Clock::now() + kPatience;
        while (got.size() < want && Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 100};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Whether anything more arrives within a short wait.
    bool Quiet() {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 200) == 0;
    }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

// Calls ReceiveLine until it accepted the waiting client (it gives false
// throughout, as nothing was sent yet).
void AcceptClient(vellum::NetworkInteractive& tool) {
    std::string line;
    const auto deadline = Clock::now() + kPatience;
    while (!tool.SendText("") && Clock::now() < deadline) {
        ASSERT_FALSE(tool.ReceiveLine(line));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(tool.SendText(""));
}

// The local addresses listening on port, from the kernel's table, in its
// hexadecimal form ("0100007F" is 127.0.0.1).
std::vector<std::string> ListeningAddresses(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::vector<std::string> found;
    std::string row;
    std::getline(table, row);
    while (std::getline(table, row)) {
        std::istringstream fields(row);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = local.find(':');
        if (state == "0A" && colon != std::string::npos &&
            std::stoul(local.substr(colon + 1), nullptr, 16) == port)
            found.push_back(local.substr(0, colon));
    }
    return found;
}

TEST(NetworkInteractive, ListensOnTheLoopbackAddressOnly) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    EXPECT_GE(tool.Port(), 10000);
    EXPECT_EQ(ListeningAddresses(tool.Port()), std::vector<std::string>{"0100007F"});
    tool.Stop();
    EXPECT_TRUE(ListeningAddresses(tool.Port()).empty());
}

struct BindCase {
    const char* name;
    int busyAttempts;  // candidates that are taken before a free one comes
    bool started;
};

void PrintTo(const BindCase& c, std::ostream* os) {
    *os << c.name;
}

class BindAttemptsTest : public testing::TestWithParam<BindCase> {};

TEST_P(BindAttemptsTest, GiveUpAfterTheLimit) {
    // A port that is taken, and one that was free a moment ago.
    vellum::NetworkInteractive busy(0);
    ASSERT_TRUE(busy.Start());
    std::uint16_t freePort = 0;
    {
        vellum::NetworkInteractive probe(0);
        ASSERT_TRUE(probe.Start());
        freePort = probe.Port();
    }
    int calls = 0;
    vellum::NetworkInteractive tool(
        0, [&] { return ++calls <= GetParam().busyAttempts ? busy.Port() : freePort; });
    EXPECT_EQ(tool.Start(), GetParam().started);
    EXPECT_EQ(calls,
              std::min(GetParam().busyAttempts + 1, vellum::NetworkInteractive::kMaxBindAttempts));
    EXPECT_EQ(tool.Port(), GetParam().started ? freePort : 0);
}

INSTANTIATE_TEST_SUITE_P(Limit, BindAttemptsTest,
                         testing::Values(BindCase{"LastAttemptSucceeds", 999, true},
                                         BindCase{"AllTaken", 1000, false}),
                         [](const testing::TestParamInfo<BindCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(NetworkInteractive, ConnectingToAPortNobodyListensOnFails) {
    std::uint16_t port = 0;
    {
        vellum::NetworkInteractive probe(0);
        ASSERT_TRUE(probe.Start());
        port = probe.Port();
    }
    vellum::NetworkInteractive engine(port);
    EXPECT_FALSE(engine.Start());
    EXPECT_FALSE(engine.SendText("x\n"));
}

struct SegmentCase {
    const char* name;
    std::vector<std::string> segments;
    // Lines ReceiveLine gives after each segment arrived.
    std::vector<std::vector<std::string>> lines;
    bool closeAfterSending;
};

void PrintTo(const SegmentCase& c, std::ostream* os) {
    *os << c.name;
}

class ReceiveLineTest : public testing::TestWithParam<SegmentCase> {};

TEST_P(ReceiveLineTest, GivesWholeLinesOnly) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    const SegmentCase& c = GetParam();
    for (std::size_t i = 0; i < c.segments.size(); ++i) {
        ASSERT_TRUE(engine.Send(c.segments[i]));
        if (c.closeAfterSending && i + 1 == c.segments.size())
            engine.Close();
        EXPECT_EQ(ReceiveLines(tool, c.lines[i].size()), c.lines[i]) << "segment " << i;
        std::string extra;
        EXPECT_FALSE(tool.ReceiveLine(extra)) << "segment " << i << " gave " << extra;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Segments, ReceiveLineTest,
    testing::Values(SegmentCase{"TwoLinesInOneSegment",
                                {"[Interactive]P2PState=14\n[Interactive]TotalByte=99\n"},
                                {{"[Interactive]P2PState=14", "[Interactive]TotalByte=99"}},
                                false},
                    // The second line can only come from what is already pending.
                    SegmentCase{"PendingLinesOutliveTheConnection",
                                {"[Interactive]P2PState=14\n[Interactive]TotalByte=99\n"},
                                {{"[Interactive]P2PState=14", "[Interactive]TotalByte=99"}},
                                true},
                    SegmentCase{"LineSplitOverSegments",
                                {"[Interactive]Perc", "entage=12.5", "00000\n[Inter"},
                                {{}, {}, {"[Interactive]Percentage=12.500000"}},
                                false},
                    SegmentCase{"CarriageReturnStays",
                                {"[Interactive]P2PState=14\r\n"},
                                {{"[Interactive]P2PState=14\r"}},
                                false},
                    SegmentCase{"EmptyLine", {"\n\n"}, {{"", ""}}, false},
                    SegmentCase{"LineLongerThanOneReceive",
                                {"[Interactive]FileName=" + std::string(3000, 'x') + "\n"},
                                {{"[Interactive]FileName=" + std::string(3000, 'x')}},
                                false},
                    // Dropped whole, whether its end came with it or later.
                    SegmentCase{"OverlongLineDropped",
                                {"[Interactive]FileName=" + std::string(9000, 'x') +
                                     "\n[Interactive]P2PState=14\n",
                                 std::string(20000, 'y'), "z\n[Interactive]TotalByte=1\n"},
                                {{"[Interactive]P2PState=14"}, {}, {"[Interactive]TotalByte=1"}},
                                false}),
    [](const testing::TestParamInfo<SegmentCase>& info) { return std::string(info.param.name); });

// The rows of the kernel's TCP table whose local port is port: the bytes
// received and not yet read by the socket's owner.
std::vector<unsigned long> ReceiveQueues(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::vector<unsigned long> queues;
    std::string row;
    std::getline(table, row);
    while (std::getline(table, row)) {
        std::istringstream fields(row);
        std::string slot, local, remote, state, queuesText;
        fields >> slot >> local >> remote >> state >> queuesText;
        const std::size_t colon = local.find(':');
        if (state == "01" && colon != std::string::npos &&
            std::stoul(local.substr(colon + 1), nullptr, 16) == port)
            queues.push_back(std::stoul(queuesText.substr(queuesText.find(':') + 1), nullptr, 16));
    }
    return queues;
}

// A flood of short lines is read no faster than it is taken: what waits
// stays with the kernel, not in the channel's memory.
TEST(NetworkInteractive, AFloodOfLinesIsReadOnlyAsItIsTaken) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    AcceptClient(tool);
    const std::string flood(64 * 1024, '\n');
    ASSERT_TRUE(engine.Send(flood));
    ASSERT_EQ(ReceiveLines(tool, 1), std::vector<std::string>{""});
    for (int i = 0; i < 3000; ++i) {
        std::string line;
        ASSERT_TRUE(tool.ReceiveLine(line)) << i;
    }
    // 3001 lines taken: at most four receives of 1024 bytes.
    const auto queues = ReceiveQueues(tool.Port());
    ASSERT_EQ(queues.size(), 1u);
    EXPECT_GE(queues[0], flood.size() - 4 * 1024);
}

TEST(NetworkInteractive, DrainTakesAtMostTheLinesAskedFor) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    AcceptClient(tool);
    ASSERT_TRUE(engine.Send(std::string(5000, '\n') + "[Interactive]P2PState=14\n"));
    vellum::StatusMap map;
    std::size_t calls = 0;
    const auto deadline = Clock::now() + kPatience;
    while (map.empty() && Clock::now() < deadline) {
        EXPECT_LE(vellum::DrainReplies(&tool, map, 1000), 1000u);
        ++calls;
    }
    EXPECT_EQ(map, (vellum::StatusMap{{"P2PState", "14"}}));
    EXPECT_GE(calls, 6u);
}

// Once the engine is in, nobody else can connect.
TEST(NetworkInteractive, StopsListeningOnceThePeerIsIn) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    AcceptClient(tool);
    EXPECT_TRUE(ListeningAddresses(tool.Port()).empty());
    Client late(tool.Port());
    EXPECT_FALSE(late.Connected());
}

// A generator seeded with the current second would give away the port.
TEST(NetworkInteractive, PortDoesNotFollowFromTheClock) {
    const auto predicted = [](std::time_t second) {
        std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(second));
        return static_cast<std::uint16_t>(10000 + generator() % 55536);
    };
    const std::time_t before = std::time(nullptr);
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    const std::time_t after = std::time(nullptr);
    EXPECT_NE(tool.Port(), predicted(before));
    EXPECT_NE(tool.Port(), predicted(after));
}

// A connection from another user's socket is not the engine: it is closed,
// and the engine that connects after it is the one taken.
TEST(NetworkInteractive, RefusesAPeerOfAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t stranger = ::fork();
    ASSERT_GE(stranger, 0);
    if (stranger == 0) {
        // Only async-signal-safe calls from here on; ten seconds at most.
        ::alarm(10);
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(tool.Port());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(3);
        const char line[] = "[Interactive]P2PState=99\n";
        if (::send(fd, line, sizeof line - 1, MSG_NOSIGNAL) < 0)
            ::_exit(4);
        if (::write(ready[1], "x", 1) != 1)
            ::_exit(5);
        // Closed by the tool (reset, as its line was never read).
        char c;
        ::_exit(::read(fd, &c, 1) <= 0 ? 0 : 6);
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);

    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    ASSERT_TRUE(engine.Send("[Interactive]P2PState=14\n"));
    EXPECT_EQ(ReceiveLines(tool, 1), std::vector<std::string>{"[Interactive]P2PState=14"});
    int status = -1;
    ASSERT_EQ(::waitpid(stranger, &status, 0), stranger);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(NetworkInteractive, CommandBeforeTheEngineConnectsIsLost) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    std::string line;
    EXPECT_FALSE(vellum::SendCommand(&tool, "stat"));
    EXPECT_FALSE(tool.ReceiveLine(line));

    Client engine(tool.Port());
    ASSERT_TRUE(engine.Connected());
    AcceptClient(tool);
    ASSERT_TRUE(vellum::SendGet(&tool, "qf 0"));
    EXPECT_EQ(engine.Receive(9), "get qf 0\n");
    EXPECT_TRUE(engine.Quiet());
}

TEST(NetworkInteractive, RoundTripBetweenToolAndEngine) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    vellum::NetworkInteractive engine(tool.Port());
    ASSERT_TRUE(engine.Start());
    EXPECT_EQ(engine.Port(), tool.Port());
    AcceptClient(tool);

    ASSERT_TRUE(vellum::SendCommand(&tool, "stat"));
    ASSERT_TRUE(vellum::SendGet(&tool, "tb"));
    EXPECT_EQ(ReceiveLines(engine, 2), (std::vector<std::string>{"stat", "get tb"}));

    ASSERT_TRUE(engine.SendText("[Interactive]P2PState=14\n[Interactive]TotalByte=5000\n"));
    ASSERT_TRUE(engine.SendText("[Interactive]P2PState=15\r\n"));
    vellum::StatusMap map;
    const auto deadline = Clock::now() + kPatience;
    while (map.size() < 2 || map["P2PState"] != "15") {
        ASSERT_LT(Clock::now(), deadline);
        vellum::DrainReplies(&tool, map);
    }
    EXPECT_EQ(map, (vellum::StatusMap{{"P2PState", "15"}, {"TotalByte", "5000"}}));

    tool.Stop();
    std::string line;
    EXPECT_FALSE(tool.ReceiveLine(line));
    EXPECT_FALSE(vellum::SendCommand(&tool, "quit"));
}

TEST(NetworkInteractive, SendsToAVanishedEngineFailWithoutASignal) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    {
        Client engine(tool.Port());
        ASSERT_TRUE(engine.Connected());
        AcceptClient(tool);
    }
    // The first sends may still be taken by the kernel; a later one fails,
    // and none of them may end the process with SIGPIPE.
    bool failed = false;
    const auto deadline = Clock::now() + kPatience;
    while (!failed && Clock::now() < deadline) {
        failed = !vellum::SendCommand(&tool, "stat");
        if (!failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(failed);
}

}  // namespace
