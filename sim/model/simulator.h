// The simulated controllers behind both transports: answers driver requests
// and control commands, one at a time, and runs the scenario's timeline.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/card.h"
#include "model/scenario.h"

namespace kvxsim {

class Simulator {
public:
    explicit Simulator(Scenario scenario);

    // One driver request, {"op": ..., "card": n, ...}; the answer always
    // holds "rc". Unknown operations and bad arguments answer an error code.
    nlohmann::json handleDriverRequest(const nlohmann::json& request);
    // Besides the single operations, a driver request may be
    //   {"op": "snapshot", "card": n}: answers {"rc": 0, "snapshot": ...};
    //   {"op": "init", "snapshot": true, ...}: the initialisation's answer
    //     with the snapshot of the same moment added under "snapshot".
    // A snapshot is {"answers": {key: answer, ...}, "otherwise": {op: answer}}:
    // the answer of every read a poll tick may make, filed under its
    // snapshotKey, and for "option" and "env" the answer to any option or
    // variable the card does not have.
    // With "snapshot": "flat" (for "snapshot": "form": "flat") the answer is
    // {"rc": rc, "flat": TEXT} instead, TEXT the compact form of the snapshot
    // (common/flat_snapshot.h) holding the initialisation's own answer too.
    // The writes "opcode", "writeErrorReg" and "resetEncoder" with
    // "snapshot": "flat" answer the snapshot taken after the write the same way.

    // One control command as words; {"ok": true, "text": ...} or
    // {"ok": false, "error": ...}. Never throws.
    nlohmann::json handleControl(const std::vector<std::string>& words);

    // Runs the timeline entries that fell due up to `elapsedSeconds` after
    // start; returns what they reported, for the daemon's log.
    std::vector<std::string> runTimeline(double elapsedSeconds);
    // Seconds after start at which the next timeline entry falls due; a
    // negative value when none is left.
    double nextTimelineDue() const;

    int cardCount() const;
    // Changes a card's state in place, between requests.
    void updateCard(int card, const std::function<void(CardState&, SteadyClock::time_point)>& change);

private:
    nlohmann::json driverRequestLocked(const nlohmann::json& request);
    nlohmann::json answerLocked(const nlohmann::json& request);
    // `withAxes` false: without the axis reads, which the initialisation it
    // comes with answers already (its axis table holds the same words).
    nlohmann::json snapshotLocked(int card, bool withAxes = true);
    // The compact form, built from the same single answers; `init` is the
    // initialisation's answer it comes with, or null.
    std::string flatSnapshotLocked(int card, const nlohmann::json* init);

    mutable std::mutex mutex_;
    std::vector<CardState> cards_;
    struct ScheduledEntry {
        TimelineEntry entry;
        double due;
        bool done = false;
    };
    std::vector<ScheduledEntry> timeline_;
};

}  // namespace kvxsim
