// Attacks on a metrics endpoint that try to starve its scrapes, and the
// scrapes that measure whether they do: clients that reconnect at once,
// readers that pipeline requests and never read, wrong passwords. The
// attackers connect from one address, the scraper from another, as a
// hostile host and the site's Prometheus would.
#pragma once

#include <string>

namespace kvx::starvation {

enum class Attack { None, Reconnect, SlowReaders, WrongPasswords };

const char* nameOf(Attack attack);

struct Setup {
    int port = 0;                         // of the endpoint on 127.0.0.1
    bool tls = false;
    std::string user, password;           // of valid scrapes; empty: none sent
    Attack attack = Attack::None;
    int connections = 64;                 // attacking connections at once
    std::string attackerAddress = "127.0.0.2";
    int scrapes = 20;
    int intervalMs = 250;                 // between the scrapes
    int warmUpMs = 1000;                  // of the attack before the first scrape
    int timeoutMs = 5000;                 // a scrape not answered within is lost
    int pid = 0;                          // of the instance, for its memory; 0: not measured
};

struct Figures {
    int scrapes = 0;
    int answered = 0;  // 200 within the timeout
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    long peakKb = 0;   // the instance's resident peak (VmHWM); 0: not measured
};

// Runs the attack while the scrapes run, one after another, each on a new
// connection from 127.0.0.1.
Figures run(const Setup& setup);

// "reconnect tls users: 20 of 20 answered, p50 3.1 ms, p99 8.0 ms, max 8.0 ms, peak 9876 kB"
std::string describe(const Setup& setup, const Figures& figures);

}  // namespace kvx::starvation
