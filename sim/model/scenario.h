// Scenario files: the cards a simulator starts with and a timeline of
// scripted changes. An ini-like text; see docs/simulator.md.
#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/card.h"
#include "model/control.h"

namespace kvxsim {

// A scenario that cannot be loaded; names the file, the line (from 1, 0 for
// the file as a whole) and the field.
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(const std::string& source, int line, const std::string& field,
                  const std::string& message);
    int line() const { return line_; }
    const std::string& field() const { return field_; }

private:
    int line_;
    std::string field_;
};

// The largest scenario file read: the shipped ones are a few kilobytes.
inline constexpr std::size_t kMaxScenarioBytes = 1 << 20;

// The latest time a timeline entry may name, in seconds after the start.
inline constexpr double kMaxTimelineSeconds = 1e7;

// One scripted change: run `command` at `atSeconds` after start and, when
// `everySeconds` > 0, again every `everySeconds` after that.
struct TimelineEntry {
    double atSeconds = 0;
    double everySeconds = 0;
    ControlCommand command;
    std::string text;  // the command as written
    int line = 0;
};

struct Scenario {
    std::vector<CardState> cards;
    std::vector<TimelineEntry> timeline;
};

// `source` names the input in messages (the file name).
Scenario parseScenario(std::istream& in, const std::string& source);
Scenario loadScenarioFile(const std::string& path);

}  // namespace kvxsim
