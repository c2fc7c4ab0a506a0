// Faults a technician meets in the field, each driven through the real
// program the way it happens.
#include <sys/stat.h>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

// A protocol name that is no regular file counts as a file that cannot be
// opened: no protocol, the run goes on and stops in order (a FIFO blocked the
// start for good).
TEST_F(EndToEndTest, ProtocolNameThatIsNoRegularFileIsNoProtocol) {
    startSimulator();
    mkfifo((dir / "fifo").c_str(), 0600);
    for (const std::string& node : {(dir / "fifo").string(), dir.string(), socket, std::string("/dev/null")}) {
        SCOPED_TRACE(node);
        std::ofstream(dir / "bin" / "KvxDiagnostics.INI") << "[PROTOCOL]\nFileName=" << node << "\n";
        startMonitor();
        waitForSummaryLine("No errors detected!");
        EXPECT_EQ(stopMonitor(), 0);
        EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
    }
}

// Filling the card list leaves the driver on the last card; the card shown
// under "Card Nr." is selected again, so its values are the ones shown.
TEST_F(EndToEndTest, TwoCardsShowTheFirstUnderCardZero) {
    std::ofstream(dir / "scenario.scn") << kHealthyScenario << "[card 1]\nboard_type = 16\naxes = 8\n";
    startSimulator();
    writeSettings(false);
    startMonitor();
    const json t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["controls"]["cbCardNr"]["items"], json::array({"0", "1"}));
    EXPECT_EQ(t["controls"]["laBoardTypeNr"]["text"], "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_TRUE(t["dataAgeMs"].is_number_integer()) << t.dump();
    EXPECT_EQ(stopMonitor(), 0);
}

// `| head -n 1` closes the output: the run ends as on SIGTERM.
TEST_F(EndToEndTest, ClosedStandardOutputEndsTheRunInOrder) {
    startSimulator();
    writeSettings(false);
    const RunResult r = run({"/bin/bash", "-c", "\"$0\" --console --json --interval-ms 100 | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}",
                             (dir / "bin" / "KvxDiagnostics").string()},
                            20s, {{"KVXSIM_SOCKET", socket}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(countOf(readFile(dir / "DiagProtocol.txt"), "Diagnostic Program closed!"), 1u);
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[Project data]"), std::string::npos);
}

}  // namespace
}  // namespace kvx::e2e
