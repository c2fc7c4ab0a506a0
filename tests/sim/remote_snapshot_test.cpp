// The remote library answers a tick's reads from one snapshot of the
// controller, fetched with the tick's initialisation: what a tick reads, how
// many round trips it costs, writes, failures and recovery.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/snapshot_key.h"
#include "daemon_process.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"
#include "model/simulator.h"

namespace kvxsim::test {
namespace {

using nlohmann::json;

template <typename Fn>
Fn entry(void* library, const char* name) {
    void* address = ::dlsym(library, name);
    if (!address) ADD_FAILURE() << "missing entry point " << name;
    return reinterpret_cast<Fn>(address);
}

struct Reports {
    static inline std::vector<std::pair<int32_t, std::string>> calls;
    static void routine(int32_t code, const char* message) { calls.emplace_back(code, message ? message : ""); }
};

// The remote library, opened on a daemon of the test's own.
class RemoteSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        Reports::calls.clear();
        ASSERT_NE(lib, nullptr);
        daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"));
        ASSERT_TRUE(daemon->running());
        ASSERT_EQ(open(daemon->url().c_str(), 0, "KVX.DEV", 5, &h), 0);
        ASSERT_EQ(setErrorRoutine(h, &Reports::routine), 0);
    }
    void TearDown() override {
        if (h) close(h);
    }

    // Driver requests the daemon has answered so far.
    long requests() const {
        httplib::Client client("127.0.0.1", daemon->port());
        auto res = client.Get("/kvxg3/v1/requests");
        if (!res || res->status != 200) {
            ADD_FAILURE() << "no request count from the daemon";
            return -1;
        }
        return std::stol(res->body);
    }

    // The TCP connections to the daemon open now (socket inodes, /proc/net/tcp).
    std::set<std::string> connections() const {
        std::set<std::string> inodes;
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        std::getline(tcp, line);
        char port[8];
        std::snprintf(port, sizeof port, ":%04X", daemon->port());
        while (std::getline(tcp, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, skip, inode;
            fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
            if (state == "01" && remote.ends_with(port)) inodes.insert(inode);
        }
        return inodes;
    }

    int32_t initialise() { return init(h, axes.data(), info.data(), "SYSTEM.DAT", &boardType); }
    int32_t word(KvxIntRemoteFn fn) {
        int32_t v = -1;
        EXPECT_EQ(fn(h, &v), 0);
        return v;
    }

    // Every read of a steady KVX-2000 tick, in the tick's order; what they
    // returned and wrote, as text.
    std::string tickReads() {
        std::ostringstream out;
        out << "os " << word(rdOsVersion) << " sample " << word(rdSampleTime) << " errreg " << word(rdErrorReg);
        for (const char* name : {"SerialNumber", "SerialNumberOXT"}) {
            kvx::EnvBuffer env;
            env.setText(name);
            out << " " << name << " " << getEnvStr(h, env.chars()) << ":" << env.text();
        }
        kvx::OptionDescriptors options;
        options.fill();
        for (auto which : {kvx::OptionDescriptors::EpmBase, kvx::OptionDescriptors::EpmOption}) {
            int32_t v = -1;
            out << " option " << rdOptionInt(h, options[which].data(), &v) << ":" << v;
        }
        out << " ifs " << rdifs(h, axes.data()) << ":" << axes[0].statusWord();
        for (int a = 0; a < info.axisCount(); ++a) out << " enc" << a << " " << rddigib(h, a, 18);
        for (int a = 0; a < info.axisCount(); ++a)
            out << " ax" << a << " " << rdaxst(h, &axes[a]) << ":" << axes[a].axisStateWord();
        for (int t = 0; t < 4; ++t) {
            kvx::TaskStateRecord state;
            kvx::TaskFileRecord file;
            out << " task" << t << " " << rdcncts(h, t, state.data()) << getcnctfh(h, t, file.data()) << ":"
                << state.state() << ":" << state.errorNumber() << ":" << file.fileName();
        }
        kvx::StatusRecord status;
        out << " status " << rdKvxStatus(h, status.data(), 240) << ":" << status.minCycleTime() << ":"
            << status.maxCycleTime() << ":" << status.rxComErrors();
        lastRunCounter = status.runCounter();
        return out.str();
    }

    TempDir dir;
    std::unique_ptr<DaemonProcess> daemon;
    void* lib = ::dlopen((binDir() + "/kvxg3X.DLL").c_str(), RTLD_NOW | RTLD_LOCAL);
    KvxOpenRemoteFn open = entry<KvxOpenRemoteFn>(lib, "KvxG3XOpen");
    KvxCloseRemoteFn close = entry<KvxCloseRemoteFn>(lib, "KvxG3Close");
    KvxSetErrorRoutineFn setErrorRoutine = entry<KvxSetErrorRoutineFn>(lib, "KVXG3_SetDllErrorRoutine");
    KvxInitRemoteFn init = entry<KvxInitRemoteFn>(lib, "InitKvxSystem");
    KvxStatusRemoteFn rdKvxStatus = entry<KvxStatusRemoteFn>(lib, "rdKvxStatus");
    KvxRecordRemoteFn rdaxst = entry<KvxRecordRemoteFn>(lib, "rdaxst");
    KvxRecordRemoteFn rdifs = entry<KvxRecordRemoteFn>(lib, "rdifs");
    KvxRecordRemoteFn rdmpe = entry<KvxRecordRemoteFn>(lib, "rdmpe");
    KvxRecordRemoteFn rdigi = entry<KvxRecordRemoteFn>(lib, "rdigi");
    KvxDigibRemoteFn rddigib = entry<KvxDigibRemoteFn>(lib, "rddigib");
    KvxOptionRemoteFn rdOptionInt = entry<KvxOptionRemoteFn>(lib, "rdOptionInt");
    KvxEnvRemoteFn getEnvStr = entry<KvxEnvRemoteFn>(lib, "getEnvStr");
    KvxIntRemoteFn rdOsVersion = entry<KvxIntRemoteFn>(lib, "rdOsVersion");
    KvxIntRemoteFn rdPldVersion = entry<KvxIntRemoteFn>(lib, "rdPldVersion");
    KvxIntRemoteFn rdSampleTime = entry<KvxIntRemoteFn>(lib, "rdSampleTime");
    KvxIntRemoteFn rdErrorReg = entry<KvxIntRemoteFn>(lib, "rdErrorReg");
    KvxIntRemoteFn wrErrorReg = entry<KvxIntRemoteFn>(lib, "wrErrorReg");
    KvxOpCodeRemoteFn opCode = entry<KvxOpCodeRemoteFn>(lib, "tvMXI_OpCodeToLinkMTX");
    KvxTaskRemoteFn rdcncts = entry<KvxTaskRemoteFn>(lib, "rdcncts");
    KvxTaskRemoteFn getcnctfh = entry<KvxTaskRemoteFn>(lib, "getcnctfh");

    KvxHandle h = 0;
    kvx::AxisTable axes;
    kvx::SystemInfo info;
    int32_t boardType = -1;
    std::uint32_t lastRunCounter = 0;
};

const std::string kHealthyTick =
    "os 253048 sample 1280 errreg 0 SerialNumber 8:20001234 SerialNumberOXT 8:21005678 option 4:5 option 4:3"
    " ifs 0:3 enc0 0 enc1 0 enc2 0 enc3 0 ax0 0:0 ax1 0:0 ax2 0:0 ax3 0:0"
    " task0 00:1:0:MAIN.QSL task1 00:1:0:HOMING.QSL task2 00:0:0: task3 00:0:0: status 0:1000:1500:0";

TEST_F(RemoteSnapshotTest, ATickCostsOneRoundTripAndReadsWhatSingleRequestsWould) {
    const long before = requests();
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(boardType, 4);
    EXPECT_EQ(info.axisCount(), 4);
    EXPECT_EQ(info.tavosName(), "TAVOS");
    EXPECT_EQ(axes[2].maxPositionErrorLimit(), 8.0);
    EXPECT_EQ(tickReads(), kHealthyTick);
    EXPECT_EQ(requests() - before, 1);

    // The went-online reads come from the same snapshot.
    EXPECT_EQ(word(rdPldVersion), 7);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(rdmpe(h, &axes[a]), 0);
    EXPECT_EQ(axes[0].maxPositionErrorLimit(), 12.5);
    EXPECT_EQ(axes[3].maxPositionErrorLimit(), 8.0);
    // An option or variable the controller lacks answers as a single request would.
    kvx::EnvBuffer env;
    env.setText("NoSuchVariable");
    EXPECT_EQ(getEnvStr(h, env.chars()), 0);
    kvx::OptionDescriptors options;
    options.fill();
    kvx::le::write32(static_cast<std::uint8_t*>(options[kvx::OptionDescriptors::BoardVersion].data()) + 16, 99);
    int32_t v = 77;
    EXPECT_EQ(rdOptionInt(h, options[kvx::OptionDescriptors::BoardVersion].data(), &v), 0);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(requests() - before, 1);

    // Ten more ticks: one round trip each, all over the one connection.
    std::set<std::string> used = connections();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(initialise(), 0);
        EXPECT_EQ(tickReads(), kHealthyTick);
        used.merge(connections());
    }
    EXPECT_EQ(requests() - before, 11);
    EXPECT_EQ(used.size(), 1u);
    EXPECT_TRUE(Reports::calls.empty());
}

// A daemon without snapshots: the library asks operation by operation and
// reads the same.
TEST_F(RemoteSnapshotTest, WithoutSnapshotsEveryOperationIsARequestOfItsOwn) {
    close(h);
    daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", dir.file("n.sock"), 0,
                                             std::vector<std::string>{"--no-snapshots"});
    ASSERT_EQ(open(daemon->url().c_str(), 0, "KVX.DEV", 5, &h), 0);
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(), kHealthyTick);
    const long before = requests();
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(), kHealthyTick);
    EXPECT_EQ(requests() - before, 26);  // the initialisation and 25 reads
}

TEST_F(RemoteSnapshotTest, EachTickReadsTheControllerAfresh) {
    ASSERT_EQ(initialise(), 0);
    tickReads();
    const std::uint32_t firstRun = lastRunCounter;
    ASSERT_EQ(daemon->control({"inject", "emergency-out", "axis", "2"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "rx-com", "9"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "env", "SerialNumber", "777"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "option", "63", "none"}).exitCode, 0);

    // The next tick sees every change; the run counter has moved on.
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(),
              "os 253048 sample 1280 errreg 0 SerialNumber 3:777 SerialNumberOXT 8:21005678 option 4:5 option 0:-1"
              " ifs 0:3 enc0 0 enc1 0 enc2 0 enc3 0 ax0 0:0 ax1 0:2 ax2 0:0 ax3 0:0"
              " task0 00:1:0:MAIN.QSL task1 00:1:0:HOMING.QSL task2 00:0:0: task3 00:0:0: status 0:1000:1500:9");
    EXPECT_GT(lastRunCounter, firstRun);

    // The controller going offline shows at the next initialisation.
    ASSERT_EQ(daemon->control({"offline", "33"}).exitCode, 0);
    EXPECT_EQ(initialise(), 33);
    ASSERT_EQ(daemon->control({"online"}).exitCode, 0);
    EXPECT_EQ(initialise(), 0);
}

TEST_F(RemoteSnapshotTest, WritesGoOutAtOnceAndTheReadAfterAWriteSeesIt) {
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x81"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"inject", "encoder-error", "axis", "1,2"}).exitCode, 0);
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(word(rdErrorReg), 0x81);
    EXPECT_EQ(rddigib(h, 0, 18), 1);
    EXPECT_EQ(rddigib(h, 1, 18), 1);
    const long before = requests();

    int32_t zero = 0;
    EXPECT_EQ(wrErrorReg(h, &zero), 0);
    EXPECT_EQ(requests() - before, 1);  // sent at once
    EXPECT_EQ(word(rdErrorReg), 0);     // from the snapshot the write's answer brought
    EXPECT_EQ(requests() - before, 1);

    EXPECT_EQ(rdigi(h, &axes[0]), 0);
    EXPECT_EQ(rddigib(h, 0, 18), 0);
    EXPECT_EQ(rddigib(h, 1, 18), 1);  // only the axis whose record was passed
    EXPECT_EQ(requests() - before, 2);

    // The link op codes of the went-online steps are sent, one request each.
    EXPECT_EQ(opCode(h, 1003), 0);
    EXPECT_EQ(opCode(h, 1002), 0);
    EXPECT_EQ(requests() - before, 4);
    // The reads after them, as after going online, cost no round trip.
    EXPECT_EQ(word(rdErrorReg), 0);
    EXPECT_EQ(requests() - before, 4);
}

TEST_F(RemoteSnapshotTest, AReadOutsideATickFetchesItsOwnSnapshot) {
    // No initialisation yet: the first read fetches a snapshot.
    const long before = requests();
    kvx::StatusRecord status;
    EXPECT_EQ(rdKvxStatus(h, status.data(), 240), 0);
    EXPECT_EQ(status.maxCycleTime(), 1500u);
    EXPECT_EQ(requests() - before, 1);
    // A snapshot that has grown old is not used again.
    ASSERT_EQ(daemon->control({"set", "max-cycle", "1792"}).exitCode, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(rdKvxStatus(h, status.data(), 240), 0);
    EXPECT_EQ(status.maxCycleTime(), 1792u);
    EXPECT_EQ(requests() - before, 2);
}

TEST_F(RemoteSnapshotTest, ABrokenLinkCallsTheErrorRoutineAndTheLibraryRecovers) {
    ASSERT_EQ(initialise(), 0);
    const int port = daemon->port();
    daemon->stop(SIGKILL);
    daemon.reset();

    const std::string message = "web services at http://127.0.0.1:" + std::to_string(port) + " not reachable (Connection refused)";
    EXPECT_EQ(initialise(), KVX_E_NO_CONNECTION);
    ASSERT_EQ(Reports::calls.size(), 1u);
    EXPECT_EQ(Reports::calls[0], std::make_pair(int32_t{KVX_E_NO_CONNECTION}, message));
    // No snapshot survives a failure: every read asks, fails and reports.
    int32_t v = -1;
    EXPECT_EQ(rdErrorReg(h, &v), KVX_E_NO_CONNECTION);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(rddigib(h, 0, 18), 0);
    EXPECT_EQ(Reports::calls.size(), 3u);
    int32_t zero = 0;
    EXPECT_EQ(wrErrorReg(h, &zero), KVX_E_NO_CONNECTION);
    EXPECT_EQ(Reports::calls.size(), 4u);

    // Back at the same address, with a changed controller: the same handle
    // works, and reads show the new controller.
    daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"), port);
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x4"}).exitCode, 0);
    EXPECT_EQ(initialise(), 0);
    EXPECT_EQ(word(rdErrorReg), 4);
    EXPECT_EQ(Reports::calls.size(), 4u);
}

// In process: the snapshot holds exactly what the single requests answer.
TEST(SimulatorSnapshot, HoldsTheAnswerOfEverySingleRead) {
    std::istringstream in("[card 0]\nboard_type = 8\naxes = 4\noption 62 = 7\n[module 1]\ntimeout = yes\n"
                          "[task 2]\nfile = CELL.QSL\nerror = 5\nline = 9\n[card 1]\n");
    Simulator sim(parseScenario(in, "test.scn"));
    json snapshot = sim.handleDriverRequest({{"op", "snapshot"}, {"card", 0}});
    ASSERT_EQ(snapshot["rc"], 0);
    const json& answers = snapshot["snapshot"]["answers"];
    std::vector<json> reads{{{"op", "ifs"}},        {{"op", "osVersion"}},  {{"op", "pld"}},
                            {{"op", "sampleTime"}}, {{"op", "errorReg"}},   {{"op", "miniport"}},
                            {{"op", "option"}, {"option", 62}},             {{"op", "option"}, {"option", 63}},
                            {{"op", "env"}, {"name", "SerialNumber"}}};
    for (int a = 0; a < 18; ++a) reads.push_back({{"op", "axis"}, {"axis", a}});
    for (int t = 0; t < 4; ++t) reads.push_back({{"op", "task"}, {"task", t}});
    for (const json& r : reads) EXPECT_EQ(answers.at(snapshotKey(r)), sim.handleDriverRequest(r)) << r.dump();
    EXPECT_EQ(answers.at("axis/2")["state"], 1);
    EXPECT_EQ(answers.at("task/2"), (json{{"rc", 0}, {"error", 5}, {"line", 9}, {"state", 0}, {"file", "CELL.QSL"}}));
    EXPECT_EQ(answers.at("status")["maxCycle"], 1500);
    EXPECT_EQ(answers.size(), 7u + 18u + 4u + 4u + 2u);  // 4 options, 2 variables
    // What a missing option or variable answers.
    EXPECT_EQ(snapshot["snapshot"]["otherwise"], (json{{"option", {{"rc", 0}}}, {"env", {{"rc", 0}}}}));
    EXPECT_EQ(sim.handleDriverRequest({{"op", "option"}, {"option", 99}}), (json{{"rc", 0}}));

    // An initialisation brings the snapshot of the same moment along.
    json init = sim.handleDriverRequest({{"op", "init"}, {"card", 1}, {"snapshot", true}});
    EXPECT_EQ(init["rc"], 0);
    EXPECT_EQ(init["boardType"], 4);
    // Its axis reads are the initialisation's own axis table, not sent twice.
    EXPECT_EQ(init["axes"][0]["limit"], 10.0);
    EXPECT_EQ(init["axes"].size(), 18u);
    EXPECT_FALSE(init["snapshot"]["answers"].contains("axis/0"));
    EXPECT_EQ(init["snapshot"]["answers"].at("status")["rc"], 0);
    // A controller that does not run hands out no table: its snapshot holds the axes.
    ASSERT_EQ(sim.handleControl({"card", "1", "offline", "33"})["ok"], true);
    json offline = sim.handleDriverRequest({{"op", "init"}, {"card", 1}, {"snapshot", true}});
    EXPECT_EQ(offline["rc"], 33);
    EXPECT_FALSE(offline.contains("axes"));
    EXPECT_EQ(offline["snapshot"]["answers"].count("axis/17"), 1u);
    EXPECT_FALSE(sim.handleDriverRequest({{"op", "init"}, {"card", 1}}).contains("snapshot"));
    EXPECT_EQ(sim.handleDriverRequest({{"op", "snapshot"}, {"card", 2}})["rc"], KVX_E_NO_CARD);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "init"}, {"card", 2}, {"snapshot", true}})["rc"], KVX_E_NO_CARD);
}

TEST(SimulatorSnapshot, KeysNameTheReadsOnly) {
    EXPECT_EQ(snapshotKey({{"op", "axis"}, {"axis", 3}}), "axis/3");
    EXPECT_EQ(snapshotKey({{"op", "env"}, {"name", "SerialNumber"}}), "env/SerialNumber");
    EXPECT_EQ(snapshotKey({{"op", "option"}, {"option", 62}}), "option/62");
    EXPECT_EQ(snapshotKey({{"op", "status"}}), "status");
    for (const char* write : {"init", "boot", "writeErrorReg", "resetEncoder", "opcode", "hello", "control"})
        EXPECT_EQ(snapshotKey({{"op", write}}), "") << write;
    EXPECT_EQ(snapshotKey({{"op", "axis"}}), "");
    EXPECT_EQ(snapshotKey({{"axis", 1}}), "");
}

}  // namespace
}  // namespace kvxsim::test
