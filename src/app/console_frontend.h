// The headless front end: the same start-up, ticks and shutdown as the
// window, with no display. It prints the caption and the summary when they
// change (or, with --json, the whole display model of every tick as one JSON
// line), sends message boxes to standard error, and stops cleanly on SIGINT,
// SIGTERM or SIGHUP or after a given number of ticks.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/recording_options.h"
#include "display/dialogs.h"
#include "display/display_model.h"

namespace kvx {

struct ConsoleOptions {
    std::optional<long> ticks;  // stop after this many ticks (the first one included)
    bool json = false;          // the whole model of each tick, one JSON line
    int intervalMs = 1000;      // the poll interval; shortened only by tests
    std::vector<std::string> arguments;  // passed on to the program ("/SU")
    std::optional<int> metricsPort;      // serve the metrics at this port (0: any free one)
    std::string metricsHost = "127.0.0.1";         // ... on this address, loopback unless named
    std::optional<std::string> webConfigFile;      // ... with its TLS and users (exporter toolkit format)
    std::optional<std::string> reportFile;  // write the service report here when the run ends
    std::optional<RecordOptions> record;    // record the run
    std::optional<ReplayOptions> replay;    // replay a recording instead of watching a controller
};

// Message boxes become one line on standard error; the file dialog has no
// one to ask and answers "cancelled".
class ConsoleDialogs final : public Dialogs {
public:
    explicit ConsoleDialogs(std::ostream& err) : err_(err) {}
    void message(const std::string& text, const std::string& title) override;
    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override;

private:
    std::ostream& err_;
};

// The model as one line of JSON: the age of its data in ms (null before the
// first tick), caption, summary, warnings and every control by name with its
// text, colour role, check mark and visibility.
std::string modelJson(const DisplayModel& model, long tick, std::optional<std::int64_t> dataAgeMs);

// Runs the monitor headless; returns the process exit code.
int runConsole(const ConsoleOptions& options);
// Replays options.replay headless; returns the process exit code.
int runConsoleReplay(const ConsoleOptions& options);

}  // namespace kvx
