// The metrics endpoint under the attacks that try to starve its scrapes,
// from another address than the scraper's: clients that reconnect at once,
// readers that pipeline requests and never read, wrong passwords at a
// costly bcrypt hash. Every valid scrape must still be answered. The figures
// of the full attack (64 connections) are scripts/bench.sh's.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <iostream>

#include "metrics_instance.h"
#include "starvation.h"

namespace kvx {
namespace {

using starvation::Attack;

// "prometheus" with the password "s3cret", at the highest cost taken
// (htpasswd -nbBC 14): a check takes most of a second.
constexpr const char* kCostlyHash = "$2y$14$GoESq81C/8CVQB8SLW3MMOWBzMwWTMMLf15xyApvMNZNZ6QqbIj5S";

struct Endpoint {
    const char* name;
    bool tls, users;
};

class Starvation : public ::testing::TestWithParam<Endpoint> {};

TEST_P(Starvation, EveryValidScrapeIsAnsweredUnderEachAttack) {
    const Endpoint e = GetParam();
    kvxsim::test::TempDir dir;
    test::MetricsInstance monitor(dir, {e.tls, e.users ? kCostlyHash : ""});
    ASSERT_NE(monitor.port(), 0) << monitor.err();
    for (Attack attack : {Attack::Reconnect, Attack::SlowReaders, Attack::WrongPasswords}) {
        if (attack == Attack::WrongPasswords && !e.users) continue;
        starvation::Setup s;
        s.port = monitor.port();
        s.tls = e.tls;
        if (e.users) s.user = "prometheus", s.password = "s3cret";
        s.attack = attack;
        s.connections = 40;  // more than the endpoint's places
        s.scrapes = 8;
        s.intervalMs = 100;
        s.timeoutMs = 3000;
        s.pid = monitor.pid();
        const starvation::Figures f = starvation::run(s);
        std::cout << starvation::describe(s, f) << "\n";
        // Before: 0 of 20 over TLS with reconnecting clients, 1 of 40 with
        // slow readers, none with 16 password guessers at this cost.
        EXPECT_EQ(f.answered, f.scrapes) << starvation::describe(s, f);
#ifndef __SANITIZE_ADDRESS__  // its shadow memory and quarantine say nothing of a release build's
        EXPECT_LT(f.peakKb, 20 * 1024) << starvation::describe(s, f);
#endif
    }
    const int status = monitor.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(Metrics, Starvation,
                         ::testing::Values(Endpoint{"Plain", false, false}, Endpoint{"PlainWithUsers", false, true},
                                           Endpoint{"Tls", true, false}, Endpoint{"TlsWithUsers", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvx
