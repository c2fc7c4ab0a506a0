// The signals that end a run in order, as closing the window does (settings
// saved, program-end record written): SIGINT, SIGTERM and SIGHUP, the hang-up
// that closing the terminal of an interactive run sends.
#pragma once

#include <signal.h>

namespace kvx {

// A run started with SIGHUP ignored (nohup) is meant to outlive its terminal:
// SIGHUP stays out of its set and ignored.
inline sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct sigaction hangUp {};
    if (sigaction(SIGHUP, nullptr, &hangUp) != 0 || hangUp.sa_handler != SIG_IGN) sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace kvx
