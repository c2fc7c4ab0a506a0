// The driver libraries' socket waits: a deadline that holds while data keeps
// coming, a pending stop signal that ends a wait at once, and the web
// services' deadline setting.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "lib/deadline_io.h"
#include "lib/transport.h"

namespace kvxsim {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

struct Wait {
    const char* name;
    bool dataWaiting;   // the peer sent something before the read
    Deadline (*deadline)();
    bool stopPending;   // SIGTERM held back and pending
    long expected;      // bytes read, or -1
    int error;          // errno when -1
};

const Wait kWaits[] = {
    {"DataBeforeTheDeadline", true, [] { return Steady::now() + 1s; }, false, 5, 0},
    // A peer that never stops sending never makes a read wait: the deadline still ends it.
    {"DataAfterTheDeadline", true, [] { return Steady::now() - 1ms; }, false, -1, ETIMEDOUT},
    {"SilenceUntilTheDeadline", false, [] { return Steady::now() + 50ms; }, false, -1, ETIMEDOUT},
    {"StopPendingDuringALongWait", false, [] { return Steady::now() + 60s; }, true, -1, ECANCELED},
};

class SocketWaits : public ::testing::TestWithParam<Wait> {};

TEST_P(SocketWaits, EndAsTheyShould) {
    const Wait& w = GetParam();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    if (w.dataWaiting) {
        ASSERT_EQ(::write(fds[1], "hello", 5), 5);
    }
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    if (w.stopPending) {
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, nullptr), 0);
        pthread_kill(pthread_self(), SIGTERM);  // to this thread, which holds it back
    }
    char buffer[16];
    const auto start = Steady::now();
    errno = 0;
    const long n = receiveWithin(fds[0], buffer, sizeof buffer, w.deadline());
    const int error = errno;
    const auto took = Steady::now() - start;
    if (w.stopPending) {
        int sig = 0;
        sigwait(&term, &sig);
        pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(n, w.expected);
    if (n < 0) {
        EXPECT_EQ(error, w.error);
    }
    EXPECT_LT(took, 1s);
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketWaits, ::testing::ValuesIn(kWaits),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WebRequestDeadline, TakesAWholeNumberOfMillisecondsWithinItsBounds) {
    const struct {
        const char* setting;
        long long ms;
    } cases[] = {{nullptr, 5000}, {"", 5000},      {"abc", 5000},    {"+900", 5000},  {"-900", 5000},
                 {"99", 5000},    {"100", 100},    {"2500", 2500},   {"60000", 60000}, {"60001", 5000},
                 {"900ms", 5000}, {"99999999999999999999", 5000}};
    for (const auto& c : cases)
        EXPECT_EQ(webRequestDeadline(c.setting).count(), c.ms) << (c.setting ? c.setting : "(unset)");
}

}  // namespace
}  // namespace kvxsim
