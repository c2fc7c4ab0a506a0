// The compact form of a snapshot: every read a poll tick may make, as a flat
// table that a library fills once per tick and answers each read from with a
// copy. On the wire it is one line of text, numbers and length-prefixed
// texts separated by blanks, carried as the "flat" member of an answer; JSON
// stays the form of everything else (control commands, single operations,
// the documented snapshot form).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvxsim {

struct FlatSnapshot {
    static constexpr int kAxes = 18;
    static constexpr int kTasks = 4;

    // A read that answers a result code and one word ("value").
    struct Word {
        std::int32_t rc = 0;
        std::uint32_t value = 0;
    };
    enum WordRead { Ifs, OsVersion, Pld, SampleTime, ErrorReg, Miniport, kWordReads };

    struct Status {
        std::int32_t rc = 0;
        std::uint32_t minCycle = 0, maxCycle = 0, runCounter = 0;
        std::array<std::uint32_t, 5> links{};
    };
    struct Axis {
        std::int32_t rc = 0;
        double limit = 0.0;
        std::uint32_t state = 0, status = 0, checksum = 0, encoder = 0;
    };
    struct Task {
        std::int32_t rc = 0;
        std::uint32_t error = 0, line = 0, state = 0;
        std::string file;
    };
    struct Option {
        std::int32_t number = 0, rc = 0, value = 0;
    };
    struct Variable {
        std::string name;
        std::int32_t rc = 0;
        std::string value;
    };

    // The initialisation the snapshot came with, if any; a controller that
    // does not run hands out no system data (`running` false). Its axis
    // table is `axes`.
    bool withInit = false;
    std::int32_t initRc = 0;
    bool running = false;
    std::int32_t boardType = 0, axisCount = 0;
    std::string tavosName;

    std::array<Word, kWordReads> words{};
    Status status;
    std::array<Axis, kAxes> axes{};
    std::array<Task, kTasks> tasks{};
    std::vector<Option> options;
    std::vector<Variable> variables;
    // What an option or a variable the controller does not have answers.
    std::int32_t missingOptionRc = 0, missingVariableRc = 0;

    const Option* option(std::int32_t number) const;
    const Variable* variable(std::string_view name) const;
};

std::string encodeFlatSnapshot(const FlatSnapshot& snapshot);

// False when `text` is not a flat snapshot: a wrong tag, a missing or
// malformed field, a number out of its range, a count or a text too large.
// `out` is then partly filled and must not be used.
bool decodeFlatSnapshot(std::string_view text, FlatSnapshot& out);

}  // namespace kvxsim
