// The program killed with SIGKILL at random moments, many times: while it
// runs and while it shuts down after SIGTERM. Afterwards the settings file is
// always one of the states its writes pass through, from the old file to the
// new one, each whole; and the protocol holds only whole records: every block
// the program flushed is there, none torn.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/profile_file.h"
#include "daemon_process.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using kvxsim::test::DaemonProcess;

constexpr int kRunKills = 20;
constexpr int kShutdownKills = 20;

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// What the settings file holds before the program first writes to it: some
// keys are missing, some hold values that the program writes differently.
const std::string kOldSettings =
    "; settings of the kill test\n"
    "[DESKTOP]\nStayOnTop=5\nSelectedCard=0\n"
    "[KVX]\nTryToBoot=0\n"
    "[Project data]\nCNC PathX=/somewhere\nURL=EnvURLX\n";

// The writes of one run in their order: three at start, the rest at close.
const std::vector<std::pair<std::string, std::string>> kWrites = {
    {"KVX", "BaseAdress"},          {"KVX", "SystemFileName"},         {"KVX", "BootFileName"},
    {"DESKTOP", "Left"},            {"DESKTOP", "Top"},                {"DESKTOP", "Height"},
    {"DESKTOP", "Width"},           {"DESKTOP", "StayOnTop"},          {"KVX", "TryToBoot"},
    {"KVX", "SuperUserMode"},       {"DESKTOP", "SelectedCard"},       {"DESKTOP", "VertikalScroll"},
    {"DESKTOP", "HorizontalScroll"}, {"KVX", "BootFileName"},          {"KVX", "SystemFileName"},
    {"PROTOCOL", "FileName"},       {"Project data", "Use Webservices"}, {"Project data", "SYS FileNameX"},
    {"Project data", "OS FileNameX"}, {"Project data", "DEV FileNameX"}, {"Project data", "CNC PathX"},
    {"Project data", "URL"},
};

// Checks that the protocol is a sequence of whole records; returns their
// count by kind ("opened", "block", "rebooted", "closed") or a failure.
struct ProtocolShape {
    int opened = 0, blocks = 0, rebooted = 0, closed = 0;
    std::string error;  // empty when every record is whole
};

ProtocolShape parseProtocol(const std::string& text) {
    ProtocolShape shape;
    if (!text.empty() && text.back() != '\n') {
        shape.error = "the file does not end with a line end";
        return shape;
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    const std::string ts = R"(\d{4}/\d\d/\d\d - \d\d:\d\d:\d\d)";
    const std::regex opened(ts + ": Diagnostic Program opened! --------------------");
    const std::regex closed(ts + ": Diagnostic Program closed! --------------------");
    const std::regex rebooted(ts + ": System has been rebooted");
    const std::regex header(ts + ":");
    std::size_t i = 0;
    auto fail = [&](const std::string& what) {
        shape.error = what + " at line " + std::to_string(i + 1);
        return shape;
    };
    while (i < lines.size()) {
        if (std::regex_match(lines[i], closed)) {
            ++shape.closed;
            ++i;
            continue;
        }
        if (!lines[i].empty() || i + 1 >= lines.size()) return fail("a record without its leading empty line");
        const std::string& l = lines[i + 1];
        if (std::regex_match(l, opened)) {
            ++shape.opened;
            i += 2;
        } else if (std::regex_match(l, rebooted)) {
            ++shape.rebooted;
            i += 2;
        } else if (std::regex_match(l, header)) {
            i += 2;
            std::size_t first = i;
            while (i < lines.size() && !lines[i].empty() && !std::regex_match(lines[i], closed)) ++i;
            if (i == first) return fail("a block without lines");
            ++shape.blocks;
        } else {
            return fail("an unknown record");
        }
    }
    return shape;
}

class ProgramKills : public ::testing::Test {
protected:
    ProgramKills() {
        fs::copy_file(KVX_PROGRAM, tmp.file("KvxDiagnostics"));
        fs::copy_file(KVX_LOCAL_LIBRARY, tmp.file("kvxg3.dll"));
        settings = tmp.file("KvxDiagnostics.INI");
        protocol = tmp.file("DiagProtocol.txt");
        // A controller whose faults change every few ticks.
        std::string scenario = readFile(kvxsim::test::scenarioDir() + "/kvx2000.scn");
        scenario +=
            "\n[timeline]\n"
            "every 0.2 from 0.1 = inject emergency-out axis 2\n"
            "every 0.2 from 0.2 = clear emergency-out axis 2\n"
            "every 0.3 from 0.15 = inject runtime-error task 1 1207 88\n"
            "every 0.3 from 0.3 = clear runtime-error task 1\n";
        writeFile(tmp.file("changing.scn"), scenario);
        daemon = std::make_unique<DaemonProcess>(tmp.file("changing.scn"), tmp.file("kvxsim.sock"));
    }

    pid_t startProgram() {
        pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(tmp.path().c_str()) != 0) ::_exit(127);
            ::setenv("KVXSIM_SOCKET", tmp.file("kvxsim.sock").c_str(), 1);
            ::unsetenv("KVXDLLNAME");
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string program = tmp.file("KvxDiagnostics");
            ::execl(program.c_str(), program.c_str(), "--console", "--interval-ms", "2", nullptr);
            ::_exit(127);
        }
        return pid;
    }
    static int waitFor(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }
    static void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // The states the settings file passes through from kOldSettings, given
    // the values of a complete run. A stop that comes before the card list
    // is filled (a slow start) stores no selected card, "-1".
    std::vector<std::string> settingsStates(const std::string& finalFile, bool cardListFilled = true) {
        const std::string scratch = tmp.file("scratch.INI");
        writeFile(scratch, kOldSettings);
        std::vector<std::string> states{kOldSettings};
        for (const auto& [section, key] : kWrites) {
            std::string value = profile::readString(finalFile, section, key, "<missing>");
            if (!cardListFilled && key == "SelectedCard") value = "-1";
            EXPECT_TRUE(profile::writeString(scratch, section, key, value).ok());
            const std::string now = readFile(scratch);
            if (now != states.back()) states.push_back(now);
        }
        fs::remove(scratch);
        return states;
    }

    kvxsim::test::TempDir tmp;
    std::string settings, protocol;
    std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(ProgramKills, SettingsAreOldOrNewAndTheProtocolHoldsWholeRecords) {
    // A complete run gives the new settings file.
    writeFile(settings, kOldSettings);
    pid_t pid = startProgram();
    sleepMs(1000);
    ::kill(pid, SIGTERM);
    int status = waitFor(pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string newSettings = readFile(settings);
    const std::vector<std::string> states = settingsStates(settings);
    const std::vector<std::string> earlyStopStates = settingsStates(settings, false);
    ASSERT_EQ(states.back(), newSettings);
    ASSERT_GE(states.size(), 15u);
    ProtocolShape clean = parseProtocol(readFile(protocol));
    ASSERT_EQ(clean.error, "");
    ASSERT_EQ(clean.opened, 1);
    ASSERT_EQ(clean.closed, 1);
    ASSERT_GE(clean.blocks, 2);  // the first tick, then a fault that came up

    std::mt19937 random(1234);
    int blocksBefore = clean.blocks;
    int openedBefore = clean.opened;
    std::map<std::size_t, int> stateHits;  // which state each kill left
    for (int kill = 0; kill < kRunKills + kShutdownKills; ++kill) {
        const bool inShutdown = kill >= kRunKills;
        SCOPED_TRACE(std::string(inShutdown ? "shutdown" : "run") + " kill " + std::to_string(kill));
        writeFile(settings, kOldSettings);
        pid = startProgram();
        if (inShutdown) {
            sleepMs(150);
            ::kill(pid, SIGTERM);
            // The shutdown writes 19 values, each flushed to disk, then
            // pauses 100 ms: some 400 ms in all.
            sleepMs(std::uniform_int_distribution<int>(0, 400)(random));
        } else {
            sleepMs(std::uniform_int_distribution<int>(0, 400)(random));
        }
        ::kill(pid, SIGKILL);
        status = waitFor(pid);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;

        const std::string now = readFile(settings);
        auto it = std::find(states.begin(), states.end(), now);
        if (it != states.end()) {
            ++stateHits[static_cast<std::size_t>(it - states.begin())];
        } else {
            const bool earlyStop = inShutdown && std::find(earlyStopStates.begin(), earlyStopStates.end(), now) !=
                                                     earlyStopStates.end();
            ASSERT_TRUE(earlyStop) << "settings file is no state of the writes:\n" << now;
        }

        const ProtocolShape shape = parseProtocol(readFile(protocol));
        ASSERT_EQ(shape.error, "");
        // The start record is flushed with the first block; a kill before
        // that loses it, as it loses any record not flushed yet.
        EXPECT_TRUE(shape.opened == openedBefore || shape.opened == openedBefore + 1) << shape.opened;
        EXPECT_GE(shape.blocks, blocksBefore);  // flushed blocks stay
        EXPECT_LE(shape.closed, openedBefore + 1);
        openedBefore = shape.opened;
        blocksBefore = shape.blocks;
    }
    // The last kill may leave the temporary file of a write cut short; the
    // next run's first write removes it, so none is left over for good.
    writeFile(settings, kOldSettings);
    pid = startProgram();
    sleepMs(300);
    ::kill(pid, SIGTERM);
    status = waitFor(pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();

    std::ostringstream hits;
    for (const auto& [state, count] : stateHits) hits << " state " << state << ": " << count;
    RecordProperty("settings_states_after_kills", hits.str());
    std::cout << "settings states left by the kills (0 = old, " << states.size() - 1 << " = new):" << hits.str()
              << "\n";
}

}  // namespace
}  // namespace kvx
