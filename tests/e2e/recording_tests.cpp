// The flight recorder and the replay, end to end: a lively run recorded by
// the real program on the simulator, then replayed by the program alone.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "e2e/process.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

const fs::path kBin = KVX_BIN_DIR;

// The lively scenario at fifty times its pace: faults come and go, the
// controller restarts, within a few seconds.
constexpr const char* kFastLively =
    "[card 0]\nboard_type = 4\naxes = 4\noption 62 = 0x05\noption 63 = -1\n"
    "env SerialNumber = 20004711\n"
    "[axis 1]\nlimit = 12.5\n[axis 2]\nlimit = 12.5\n[axis 3]\nlimit = 12.5\n[axis 4]\nlimit = 0\n"
    "[task 0]\nfile = MAIN.QSL\nstate = 1\n[task 1]\nfile = CONVEYOR.QSL\nstate = 1\n"
    "[timeline]\n"
    "every 0.8 from 0.16 = inject emergency-out axis 2\n"
    "every 0.8 from 0.32 = clear emergency-out axis 2\n"
    "every 1.1 from 0.24 = inject runtime-error task 1 1207 88\n"
    "every 1.1 from 0.6 = clear runtime-error task 1\n"
    "every 0.5 from 0.2 = increment rx-data\n"
    "every 1.4 from 0.4 = inject timing-error\n"
    "every 1.4 from 0.64 = clear timing-error\n"
    "every 1.3 from 0.52 = inject error-register 0x10\n"
    "every 1.3 from 0.9 = clear error-register\n"
    "every 1.8 from 0.72 = inject encoder-error axis 3\n"
    "every 3 from 1.2 = restart\n";

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A tick's JSON line without its time fields: how old the data was when printed.
std::vector<std::string> ticksWithoutTimes(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& l : lines(text)) {
        json tick = json::parse(l);
        tick.erase("dataAgeMs");
        out.push_back(tick.dump());
    }
    return out;
}

class RecordingTest : public ::testing::Test {
protected:
    RecordingTest() {
        std::string pattern = (fs::temp_directory_path() / "kvx-rec-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        fs::create_directories(dir / "bin");
        for (const char* f : {"KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL"}) fs::copy_file(kBin / f, dir / "bin" / f);
        // Plugins are loaded from beside the program only.
        for (const char* f : {"libkvxdiag_window.so", "libkvxdiag_history.so", "libkvxdiag_metrics.so"})
            if (fs::exists(kBin / f)) fs::copy_file(kBin / f, dir / "bin" / f);
        std::ofstream(dir / "scenario.scn") << kFastLively;
        std::ofstream(dir / "bin" / "KvxDiagnostics.INI") << "[PROTOCOL]\nFileName=" << (dir / "live.txt").string() << "\n";
        socket = (dir / "sim.sock").string();
        sim = std::make_unique<Process>(Process::Options{
            {(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket", socket, "--no-http",
             "--quiet"},
            {}, dir.string(), (dir / "sim.err").string()});
        for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(25ms);
    }
    ~RecordingTest() override {
        sim.reset();
        fs::remove_all(dir);
    }

    RunResult monitor(std::vector<std::string> args) {
        args.insert(args.begin(), (dir / "bin" / "KvxDiagnostics").string());
        return run(args, 60s, {{"KVXSIM_SOCKET", socket}, {"XDG_CONFIG_HOME", (dir / "config").string()}});
    }

    fs::path dir;
    std::string socket;
    std::unique_ptr<Process> sim;
};

TEST_F(RecordingTest, LivelyRunReplayedAtSixtyTimesGivesTheSameTicksAndTheSameProtocol) {
    const std::string rec = (dir / "run.kvxrec").string();
    RunResult live = monitor({"--console", "--json", "--interval-ms", "20", "--ticks", "250", "--record", rec});
    ASSERT_EQ(live.exitCode, 0) << live.err;
    const std::string settings = readFile(dir / "bin" / "KvxDiagnostics.INI");
    const std::string liveProtocol = readFile(dir / "live.txt");
    // A run worth the comparison: new faults, a controller restart.
    ASSERT_GE(std::count(liveProtocol.begin(), liveProtocol.end(), '\n'), 30) << liveProtocol;
    ASSERT_NE(liveProtocol.find("System has been rebooted"), std::string::npos) << liveProtocol;

    RunResult replay = monitor({"--console", "--json", "--replay", rec, "--speed", "60", "--protocol",
                                (dir / "replayed.txt").string()});
    ASSERT_EQ(replay.exitCode, 0) << replay.err;
    const auto liveTicks = ticksWithoutTimes(live.out), replayTicks = ticksWithoutTimes(replay.out);
    ASSERT_EQ(replayTicks.size(), 250u);
    for (std::size_t i = 0; i < liveTicks.size(); ++i) ASSERT_EQ(replayTicks[i], liveTicks[i]) << "tick " << i + 1;
    EXPECT_EQ(readFile(dir / "replayed.txt"), liveProtocol);
    EXPECT_EQ(readFile(dir / "bin" / "KvxDiagnostics.INI"), settings);  // the replay wrote no settings
}

TEST_F(RecordingTest, KilledRecorderLeavesAFileThatReplaysUpToItsLastWholeTick) {
    const std::string rec = (dir / "run.kvxrec").string();
    Process live(Process::Options{{(dir / "bin" / "KvxDiagnostics").string(), "--console", "--json", "--interval-ms",
                                   "5", "--record", rec},
                                  {{"KVXSIM_SOCKET", socket}}, dir.string(), (dir / "live.err").string()});
    std::vector<std::string> liveTicks;
    while (liveTicks.size() < 100)
        if (auto l = live.readLine(10s)) liveTicks.push_back(ticksWithoutTimes(*l).front());
        else break;
    live.signal(SIGKILL);
    live.wait(5s);
    // Whatever ticks the file holds, one at most lost, replay exactly as they ran.
    RunResult replay = monitor({"--console", "--json", "--replay", rec});
    ASSERT_EQ(replay.exitCode, 0) << replay.err;
    const auto replayTicks = ticksWithoutTimes(replay.out);
    ASSERT_GE(replayTicks.size(), liveTicks.size() - 1);
    for (std::size_t i = 0; i < liveTicks.size() - 1; ++i) ASSERT_EQ(replayTicks[i], liveTicks[i]) << "tick " << i + 1;

    // A replay killed in turn leaves its folder of settings behind; the next
    // replay removes it, and leaves a running replay's folder alone.
    auto folderOf = [](pid_t pid) {
        for (const auto& e : fs::directory_iterator(fs::temp_directory_path()))
            if (e.path().filename().string().rfind("kvx-replay-", 0) == 0 &&
                readFile(e.path() / "owner") == std::to_string(pid) + "\n")
                return e.path();
        return fs::path();
    };
    auto slowReplay = [&](const char* err) {
        return std::make_unique<Process>(Process::Options{
            {(dir / "bin" / "KvxDiagnostics").string(), "--console", "--replay", rec, "--speed", "1"},
            {}, dir.string(), (dir / err).string()});
    };
    // Without --json: a line a second would fill the pipe nobody reads here.
    auto killed = slowReplay("killed.err"), running = slowReplay("running.err");
    ASSERT_TRUE(killed->readLine(10s) && running->readLine(10s));
    killed->signal(SIGKILL);
    killed->wait(5s);
    const fs::path left = folderOf(killed->pid()), kept = folderOf(running->pid());
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(kept.empty());
    ASSERT_EQ(monitor({"--console", "--replay", rec}).exitCode, 0);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(kept));
    running->signal(SIGTERM);
    EXPECT_EQ(running->wait(5s), 0);
    EXPECT_FALSE(fs::exists(kept));
}

TEST_F(RecordingTest, SimulatorServesARecordingAsTheControllerItRecorded) {
    const std::string rec = (dir / "run.kvxrec").string();
    RunResult live = monitor({"--console", "--json", "--interval-ms", "20", "--ticks", "10", "--record", rec});
    ASSERT_EQ(live.exitCode, 0) << live.err;
    const std::string served = (dir / "served.sock").string();
    Process player(Process::Options{{(kBin / "kvxsim").string(), "--replay", rec, "--socket", served, "--no-http"},
                                    {}, dir.string(), (dir / "player.err").string()});
    for (int i = 0; i < 200 && !fs::exists(served); ++i) std::this_thread::sleep_for(25ms);
    RunResult watched = run({(dir / "bin" / "KvxDiagnostics").string(), "--console", "--json", "--ticks", "1"}, 20s,
                            {{"KVXSIM_SOCKET", served}});
    ASSERT_EQ(watched.exitCode, 0) << watched.err;
    const json first = json::parse(lines(live.out).front()), seen = json::parse(lines(watched.out).front());
    EXPECT_EQ(seen["caption"], "KvxDiagnostics - Online Mode");
    for (const char* control : {"laBoardTypeNr", "laSnrGrundplatineNr", "laTavosNameNr", "laTask1FileName"})
        EXPECT_EQ(seen["controls"][control]["text"], first["controls"][control]["text"]) << control;
}

// Where the file's last frame (a varint length, the body, a checksum) begins.
std::size_t lastFrameStart(const std::string& b) {
    std::size_t at = 12, last = at;  // after the header
    for (std::size_t length = 0; at < b.size(); at += length + 4, length = 0) {
        last = at;
        for (int shift = 0; shift == 0 || (b[at - 1] & 0x80); shift += 7) length |= std::size_t(b[at++] & 0x7F) << shift;
    }
    return last;
}

struct BrokenFile {
    const char* name;
    std::function<void(std::string&)> damage;
    int exitCode;
    std::string message;
};

void PrintTo(const BrokenFile& f, std::ostream* os) { *os << f.name; }

class BrokenRecordingTest : public RecordingTest, public ::testing::WithParamInterface<BrokenFile> {};

TEST_P(BrokenRecordingTest, ReplaysWhatItCanAndNamesTheOffset) {
    const std::string rec = (dir / "run.kvxrec").string();
    ASSERT_EQ(monitor({"--console", "--interval-ms", "10", "--ticks", "20", "--record", rec}).exitCode, 0);
    std::string bytes = readFile(rec);
    GetParam().damage(bytes);
    std::ofstream(rec, std::ios::binary | std::ios::trunc) << bytes;
    RunResult replay = monitor({"--console", "--json", "--replay", rec});
    EXPECT_EQ(replay.exitCode, GetParam().exitCode);
    std::string expected = GetParam().message;
    const auto at = expected.find("FILE");
    if (at != std::string::npos) expected.replace(at, 4, rec);
    EXPECT_NE(replay.err.find(expected), std::string::npos) << replay.err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenRecordingTest,
    ::testing::Values(
        BrokenFile{"Foreign", [](std::string& b) { b = "[KVX]\nBaseAdress=768\n"; }, 1,
                   "FILE is not a KvxDiagnostics recording (no recording header at offset 0)"},
        BrokenFile{"NewerVersion", [](std::string& b) { b[8] = 9; }, 1,
                   "FILE has recording format version 9 at offset 8; this program reads versions 1 to 1"},
        BrokenFile{"CutInsideTheLastTick", [](std::string& b) { b.resize(b.size() - 3); }, 0,
                   "ends inside a segment at offset"},
        // Killed while a tick was encoded into the reserve: no close, no length yet.
        BrokenFile{"KilledWhileWritingATick",
                   [](std::string& b) {
                       b.resize(lastFrameStart(b));
                       b += std::string("\0\x05S\x02\x07\x01", 6) + std::string(64, '\0');
                   },
                   0, "ends inside a segment at offset"},
        BrokenFile{"ByteChangedInTheStart", [](std::string& b) { b[20] ^= 0x55; }, 1,
                   "FILE is damaged at offset 12: checksum mismatch (damaged frame)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvx::e2e
