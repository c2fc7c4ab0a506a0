// The driver libraries' socket waits end at the deadline even while data
// keeps coming, and at once when a stop signal is pending.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "lib/deadline_io.h"

namespace kvxsim {
namespace {

using Steady = std::chrono::steady_clock;

TEST(SocketWaits, EndAtTheDeadlineWhateverThePeerSendsAndAtAStop) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    char buffer[16];
    // A peer that never stops sending never makes a read wait: the deadline still ends it.
    ASSERT_EQ(::write(fds[1], "hello", 5), 5);
    EXPECT_EQ(receiveWithin(fds[0], buffer, sizeof buffer, Steady::now() - std::chrono::milliseconds(1)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(receiveWithin(fds[0], buffer, sizeof buffer, Steady::now() + std::chrono::seconds(1)), 5);
    // SIGTERM held back and pending (to this thread) ends a wait of a minute at once.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, nullptr), 0);
    pthread_kill(pthread_self(), SIGTERM);
    const auto start = Steady::now();
    EXPECT_EQ(receiveWithin(fds[0], buffer, sizeof buffer, start + std::chrono::seconds(60)), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_LT(Steady::now() - start, std::chrono::seconds(1));
    int sig = 0;
    sigwait(&term, &sig);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace kvxsim
