#include "common/channel/console_interactive.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/channel/channel_support.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using namespace channel_support;

// Stops the channel; a reader thread that does not end fails the test
// program at once instead of hanging it.
void StopWithin(vellum::IInteractive& channel) {
    auto stopped = std::async(std::launch::async, [&] { channel.Stop(); });
    if (stopped.wait_for(kPatience) != std::future_status::ready) {
        std::cerr << "Stop did not end the reader thread\n";
        std::_Exit(1);
    }
}

// Waits for the child to end; gives its exit status or -1.
int Reap(pid_t pid) {
    const auto deadline = Clock::now() + kPatience;
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

struct ChildCase {
    const char* name;
    std::string script;  // run by /bin/sh -c with the pipes as its console
    std::string input;   // sent to the child's standard input
    std::vector<std::string> lines;
};

void PrintTo(const ChildCase& c, std::ostream* os) {
    *os << c.name;
}

class LauncherTest : public testing::TestWithParam<ChildCase> {};

TEST_P(LauncherTest, ReadsTheChildsLines) {
    auto owned = std::make_unique<vellum::ConsoleInteractive>(true);
    vellum::ConsoleInteractive& channel = *owned;
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    EXPECT_FALSE(channel.PrepareChildStartup(actions));  // no pipes yet
    ASSERT_TRUE(channel.Start());
    ASSERT_TRUE(channel.PrepareChildStartup(actions));
    const char* argv[] = {"/bin/sh", "-c", GetParam().script.c_str(), nullptr};
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0);
    channel.CloseChildEnds();

    EXPECT_TRUE(channel.SendText(GetParam().input));
    EXPECT_EQ(ReceiveLines(channel, GetParam().lines.size()), GetParam().lines);
    std::string extra;
    EXPECT_FALSE(channel.ReceiveLine(extra)) << extra;

    // The child may still be running and writing nothing: Stop must not wait
    // for it.
    StopWithin(channel);
    EXPECT_FALSE(channel.ReceiveLine(extra));
    owned.reset();  // closes the child's input: the child ends
    EXPECT_EQ(Reap(pid), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Children, LauncherTest,
    testing::Values(ChildCase{"EchoesCommandsWhileRunning",
                              "while read -r c; do echo \"[Interactive]Echo=$c\"; done",
                              "stat\nget tb\n",
                              {"[Interactive]Echo=stat", "[Interactive]Echo=get tb"}},
                    ChildCase{"CarriageReturnStays",
                              "printf '[Interactive]P2PState=14\\r\\n'; cat",
                              "",
                              {"[Interactive]P2PState=14\r"}},
                    ChildCase{"PartialLastLineDropped", "printf 'a\\n\\nb'", "", {"a", ""}},
                    ChildCase{"StandardErrorIsNotTheChannel", "echo oops >&2; echo ok", "", {"ok"}},
                    ChildCase{"OverlongLineDropped",
                              "head -c 9000 /dev/zero | tr '\\0' x; printf '\\nok\\n'",
                              "",
                              {"ok"}}),
    [](const testing::TestParamInfo<ChildCase>& info) { return std::string(info.param.name); });

// A child that writes far more lines than are taken is held up by the
// pipe once the reader's queue is full, instead of the queue growing.
TEST(ConsoleInteractive, ReaderWaitsWhileItsQueueIsFull) {
    testing_support::TempDir dir;
    const std::string marker = dir.Sub("written");
    const std::size_t count = 200000;  // well beyond the queue and a pipe's worth
    auto channel = std::make_unique<vellum::ConsoleInteractive>(true);
    ASSERT_TRUE(channel->Start());
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    ASSERT_TRUE(channel->PrepareChildStartup(actions));
    const std::string script =
        "yes '' | head -n " + std::to_string(count) + "; echo done > '" + marker + "'";
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0);
    channel->CloseChildEnds();

    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(ReceiveLines(*channel, count).size(), count);
    EXPECT_EQ(testing_support::WaitForFile(marker), "done\n");
    channel.reset();
    EXPECT_EQ(Reap(pid), 0);
}

// Puts a pipe in place of one of this process's standard files for the
// lifetime of the object.
class RedirectedFile {
  public:
    explicit RedirectedFile(int target) : m_target(target), m_saved(::dup(target)) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return;
        ::dup2(target == STDIN_FILENO ? ends[0] : ends[1], target);
        m_other = target == STDIN_FILENO ? ends[1] : ends[0];
        ::close(target == STDIN_FILENO ? ends[0] : ends[1]);
    }
    ~RedirectedFile() {
        ::dup2(m_saved, m_target);
        ::close(m_saved);
        if (m_other >= 0)
            ::close(m_other);
    }
    // The end of the pipe this process does not use as its standard file.
    int Other() const { return m_other; }

  private:
    int m_target;
    int m_saved;
    int m_other = -1;
};

TEST(ConsoleInteractive, OwnConsoleReadsStandardInputAndStopsWhileItStaysOpen) {
    RedirectedFile input(STDIN_FILENO);
    ASSERT_GE(input.Other(), 0);
    vellum::ConsoleInteractive channel(false);
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    ASSERT_TRUE(channel.Start());
    EXPECT_FALSE(channel.PrepareChildStartup(actions));
    ::posix_spawn_file_actions_destroy(&actions);

    const std::string commands = "stat\nget qf 0\nqu";
    ASSERT_EQ(::write(input.Other(), commands.data(), commands.size()),
              static_cast<ssize_t>(commands.size()));
    EXPECT_EQ(ReceiveLines(channel, 2), (std::vector<std::string>{"stat", "get qf 0"}));
    StopWithin(channel);  // the writing end is still open
    ASSERT_EQ(::write(input.Other(), "it\n", 3), 3);
    std::string line;
    EXPECT_FALSE(channel.ReceiveLine(line));
}

TEST(ConsoleInteractive, OwnConsoleSendsToStandardOutput) {
    std::string written(64, '\0');
    ssize_t n = -1;
    {
        RedirectedFile output(STDOUT_FILENO);
        ASSERT_GE(output.Other(), 0);
        vellum::ConsoleInteractive channel(false);
        const bool sent = channel.SendText("[Interactive]P2PState=14\n");
        n = ::read(output.Other(), written.data(), written.size());
        ASSERT_TRUE(sent);
    }
    ASSERT_GT(n, 0);
    written.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(written, "[Interactive]P2PState=14\n");
}

}  // namespace
