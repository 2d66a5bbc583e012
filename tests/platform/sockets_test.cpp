#include "platform/sockets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

TEST(SocketLayer, SendToAClosedPeerGivesAnErrorInsteadOfASignal) {
    ASSERT_TRUE(platform::InitSocketLayer());
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    errno = 0;
    EXPECT_EQ(::write(pair[0], "x", 1), -1);  // would end the process with SIGPIPE otherwise
    EXPECT_EQ(errno, EPIPE);
    ::close(pair[0]);
}

}  // namespace
