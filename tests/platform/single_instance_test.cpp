#include "platform/single_instance.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using platform::SingleInstanceMark;
using Result = SingleInstanceMark::Result;

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }
    testing_support::TempDir dir_;
};

TEST_F(SingleInstanceTest, SecondMarkOfTheSameNameIsRefusedUntilReleased) {
    SingleInstanceMark first, second, other;
    EXPECT_EQ(first.Acquire("MARK_A"), Result::Acquired);
    EXPECT_EQ(second.Acquire("MARK_A"), Result::HeldElsewhere);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(other.Acquire("MARK_B"), Result::Acquired);
    first.Release();
    EXPECT_EQ(second.Acquire("MARK_A"), Result::Acquired);
}

TEST_F(SingleInstanceTest, LockPathFollowsTheEnvironment) {
    EXPECT_EQ(SingleInstanceMark::LockPath("N"), dir_.path() + "/N.lock");
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", dir_.path().c_str(), 1);
    EXPECT_EQ(SingleInstanceMark::LockPath("N"),
              dir_.path() + "/N-" + std::to_string(::getuid()) + ".lock");
    ::unsetenv("TMPDIR");
}

TEST_F(SingleInstanceTest, ProgramsStartedLaterDoNotKeepTheMark) {
    SingleInstanceMark mark;
    ASSERT_EQ(mark.Acquire("MARK_C"), Result::Acquired);
    pid_t child;
    char sleepArg[] = "sleep", secs[] = "5";
    char* argv[] = {sleepArg, secs, nullptr};
    ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
    mark.Release();
    SingleInstanceMark again;
    EXPECT_EQ(again.Acquire("MARK_C"), Result::Acquired);
    ::kill(child, SIGKILL);
    int status;
    ::waitpid(child, &status, 0);
}

TEST_F(SingleInstanceTest, PlantedSymbolicLinkIsNotFollowed) {
    const std::string victim = dir_.Write("victim", "keep");
    ASSERT_EQ(::symlink(victim.c_str(), SingleInstanceMark::LockPath("MARK_D").c_str()), 0);
    SingleInstanceMark mark;
    EXPECT_EQ(mark.Acquire("MARK_D"), Result::Unavailable);
    EXPECT_EQ(testing_support::ReadFile(victim), "keep");
}

}  // namespace
