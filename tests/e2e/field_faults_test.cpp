// Faults a technician meets in the field, each driven through the real
// program the way it happens: a protocol name that is no regular file, a
// machine with two cards.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

struct ProtocolNode {
    const char* name;
    std::function<fs::path(const fs::path& dir)> make;  // the node the protocol file name names
};

fs::path makeFifo(const fs::path& dir) {
    const fs::path p = dir / "protocol.fifo";
    mkfifo(p.c_str(), 0600);
    return p;
}

fs::path makeFolder(const fs::path& dir) {
    fs::create_directory(dir / "protocol.d");
    return dir / "protocol.d";
}

fs::path makeSocket(const fs::path& dir) {
    const fs::path p = dir / "protocol.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(fd);
    return p;
}

void PrintTo(const ProtocolNode& node, std::ostream* os) { *os << node.name; }

class ProtocolNodeTest : public EndToEndTest, public ::testing::WithParamInterface<ProtocolNode> {};

// Treated like a file that cannot be opened: no protocol, the run goes on and
// stops in order on SIGTERM (a FIFO used to block the start for good).
TEST_P(ProtocolNodeTest, IsNoProtocolAndTheRunGoesOn) {
    startSimulator();
    const fs::path node = GetParam().make(dir);
    std::ofstream(dir / "bin" / "KvxDiagnostics.INI") << "[PROTOCOL]\nFileName=" << node.string() << "\n";
    startMonitor();
    waitForSummaryLine("No errors detected!");
    EXPECT_EQ(stopMonitor(), 0) << readFile(dir / "monitor.err");
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Names, ProtocolNodeTest,
                         ::testing::Values(ProtocolNode{"Fifo", makeFifo}, ProtocolNode{"Folder", makeFolder},
                                           ProtocolNode{"Socket", makeSocket},
                                           ProtocolNode{"Device", [](const fs::path&) { return fs::path("/dev/null"); }}),
                         [](const auto& info) { return std::string(info.param.name); });

// Filling the card list selects every card in turn; the card shown under
// "Card Nr." is then selected again, so its values are the ones shown.
TEST_F(EndToEndTest, TwoCardsShowTheFirstUnderCardZero) {
    std::ofstream(dir / "scenario.scn") << kHealthyScenario << "[card 1]\nboard_type = 16\naxes = 8\n";
    startSimulator();
    writeSettings(false);
    startMonitor();
    const json t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["controls"]["cbCardNr"]["items"], json::array({"0", "1"}));
    EXPECT_EQ(t["controls"]["cbCardNr"]["selectedIndex"], 0);
    EXPECT_EQ(t["controls"]["laBoardTypeNr"]["text"], "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(stopMonitor(), 0);
}

}  // namespace
}  // namespace kvx::e2e
