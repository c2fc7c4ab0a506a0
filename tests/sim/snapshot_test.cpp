// Both driver libraries answer a tick's reads from one snapshot of the
// controller, fetched with the tick's initialisation: what a tick reads, how
// many round trips it costs, writes, reads outside a tick, a daemon that goes
// away and comes back. One table of cases, run over the unix socket (the
// local library) and over HTTP (the remote library).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>

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

enum class Transport { Local, Remote };

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

// One library's entry points with the remote handle hidden: each call goes
// through the local form or, with a handle, through the remote one.
struct Library {
    explicit Library(Transport transport)
        : remote(transport == Transport::Remote),
          lib(::dlopen((binDir() + (remote ? "/kvxg3X.DLL" : "/kvxg3.dll")).c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (lib) ::dlclose(lib);
    }

    template <typename Local, typename Remote, typename... Args>
    int32_t call(const char* name, Args... args) {
        if (remote) return entry<Remote>(lib, name)(handle, args...);
        return entry<Local>(lib, name)(args...);
    }
    int32_t init(kvx::AxisTable& axes, kvx::SystemInfo& info, int32_t& boardType) {
        if (remote) return entry<KvxInitRemoteFn>(lib, "InitKvxSystem")(handle, axes.data(), info.data(), "SYSTEM.DAT", &boardType);
        return entry<KvxInitLocalFn>(lib, "InitKvxSystem3")(axes.data(), info.data(), 0, "SYSTEM.DAT", &boardType);
    }
    int32_t word(const char* name, int32_t* v) { return call<KvxIntLocalFn, KvxIntRemoteFn>(name, v); }
    int32_t record(const char* name, kvx::AxisRecord& axis) {
        return call<KvxRecordLocalFn, KvxRecordRemoteFn>(name, &axis);
    }
    int32_t digib(int32_t axis) { return call<KvxDigibLocalFn, KvxDigibRemoteFn>("rddigib", axis, int32_t{18}); }
    int32_t env(kvx::EnvBuffer& buffer) { return call<KvxEnvLocalFn, KvxEnvRemoteFn>("getEnvStr", buffer.chars()); }
    int32_t option(kvx::OptionDescriptors& options, kvx::OptionDescriptors::Index which, int32_t* v) {
        return call<KvxOptionLocalFn, KvxOptionRemoteFn>("rdOptionInt", options[which].data(), v);
    }
    int32_t task(const char* name, int32_t t, void* record) {
        return call<KvxTaskLocalFn, KvxTaskRemoteFn>(name, t, record);
    }
    int32_t status(kvx::StatusRecord& status) {
        return call<KvxStatusLocalFn, KvxStatusRemoteFn>("rdKvxStatus", status.data(), int32_t{240});
    }
    int32_t opCode(int32_t code) {
        if (remote) return entry<KvxOpCodeRemoteFn>(lib, "tvMXI_OpCodeToLinkMTX")(handle, code);
        return entry<KvxOpCodeLocalFn>(lib, "tvMXI_OpCodeToLinkMTX")(0, code);
    }

    bool remote;
    void* lib;
    KvxHandle handle = 0;
};

// A library on a daemon of the test's own: the local one on its socket, the
// remote one opened on its URL with an error routine registered.
class SnapshotTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        Reports::calls.clear();
        ASSERT_NE(library.lib, nullptr);
        ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
        start();
        if (library.remote) {
            ASSERT_EQ(entry<KvxSetErrorRoutineFn>(library.lib, "KVXG3_SetDllErrorRoutine")(library.handle, &Reports::routine), 0);
        } else {
            ASSERT_EQ(entry<KvxCardSelectFn>(library.lib, "CardSelect")(0), 0);
        }
    }
    void TearDown() override {
        if (!library.remote) entry<KvxCloseLocalFn>(library.lib, "KvxClose")();
        else if (library.handle) entry<KvxCloseRemoteFn>(library.lib, "KvxG3Close")(library.handle);
        ::unsetenv("KVXSIM_SOCKET");
    }

    // A daemon on the test's socket (and, remote, on `port`, 0 for any),
    // with the remote library opened on it.
    void start(int port = 0, std::vector<std::string> arguments = {}) {
        daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", socket, port, arguments);
        ASSERT_TRUE(daemon->running());
        if (library.remote && !library.handle) {
            ASSERT_EQ(entry<KvxOpenRemoteFn>(library.lib, "KvxG3XOpen")(daemon->url().c_str(), 0, "KVX.DEV", 5,
                                                                        &library.handle),
                      0);
        }
    }

    // Driver requests the daemon has answered so far, over both transports.
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

    int32_t initialise() { return library.init(axes, info, boardType); }
    int32_t word(const char* name) {
        int32_t v = -1;
        EXPECT_EQ(library.word(name, &v), 0) << name;
        return v;
    }

    // Every read of a steady KVX-2000 tick, in the tick's order; what they
    // returned and wrote, as text.
    std::string tickReads() {
        std::ostringstream out;
        out << "os " << word("rdOsVersion") << " sample " << word("rdSampleTime") << " errreg " << word("rdErrorReg");
        for (const char* name : {"SerialNumber", "SerialNumberOXT"}) {
            kvx::EnvBuffer env;
            env.setText(name);
            out << " " << name << " " << library.env(env) << ":" << env.text();
        }
        kvx::OptionDescriptors options;
        options.fill();
        for (auto which : {kvx::OptionDescriptors::EpmBase, kvx::OptionDescriptors::EpmOption}) {
            int32_t v = -1;
            out << " option " << library.option(options, which, &v) << ":" << v;
        }
        out << " ifs " << library.record("rdifs", axes[0]) << ":" << axes[0].statusWord();
        for (int a = 0; a < info.axisCount(); ++a) out << " enc" << a << " " << library.digib(a);
        for (int a = 0; a < info.axisCount(); ++a)
            out << " ax" << a << " " << library.record("rdaxst", axes[a]) << ":" << axes[a].axisStateWord();
        for (int t = 0; t < 4; ++t) {
            kvx::TaskStateRecord state;
            kvx::TaskFileRecord file;
            out << " task" << t << " " << library.task("rdcncts", t, state.data())
                << library.task("getcnctfh", t, file.data()) << ":" << state.state() << ":" << state.errorNumber()
                << ":" << file.fileName();
        }
        kvx::StatusRecord status;
        out << " status " << library.status(status) << ":" << status.minCycleTime() << ":" << status.maxCycleTime()
            << ":" << status.rxComErrors();
        lastRunCounter = status.runCounter();
        return out.str();
    }

    TempDir dir;
    std::string socket = dir.file("kvxsim.sock");
    Library library{GetParam()};
    std::unique_ptr<DaemonProcess> daemon;
    kvx::AxisTable axes;
    kvx::SystemInfo info;
    int32_t boardType = -1;
    std::uint32_t lastRunCounter = 0;
};

const std::string kHealthyTick =
    "os 253048 sample 1280 errreg 0 SerialNumber 8:20001234 SerialNumberOXT 8:21005678 option 4:5 option 4:3"
    " ifs 0:3 enc0 0 enc1 0 enc2 0 enc3 0 ax0 0:0 ax1 0:0 ax2 0:0 ax3 0:0"
    " task0 00:1:0:MAIN.QSL task1 00:1:0:HOMING.QSL task2 00:0:0: task3 00:0:0: status 0:1000:1500:0";

TEST_P(SnapshotTest, ATickCostsOneRoundTripAndReadsWhatSingleRequestsWould) {
    const long before = requests();
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(boardType, 4);
    EXPECT_EQ(info.axisCount(), 4);
    EXPECT_EQ(info.tavosName(), "TAVOS");
    EXPECT_EQ(tickReads(), kHealthyTick);
    EXPECT_EQ(requests() - before, 1);

    // The went-online reads come from the same snapshot.
    EXPECT_EQ(word("rdPldVersion"), 7);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(library.record("rdmpe", axes[a]), 0);
    EXPECT_EQ(axes[0].maxPositionErrorLimit(), 12.5);
    EXPECT_EQ(axes[3].maxPositionErrorLimit(), 8.0);
    // An option or variable the controller lacks answers as a single request would.
    kvx::EnvBuffer env;
    env.setText("NoSuchVariable");
    EXPECT_EQ(library.env(env), 0);
    kvx::OptionDescriptors options;
    options.fill();
    kvx::le::write32(static_cast<std::uint8_t*>(options[kvx::OptionDescriptors::BoardVersion].data()) + 16, 99);
    int32_t v = 77;
    EXPECT_EQ(library.option(options, kvx::OptionDescriptors::BoardVersion, &v), 0);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(requests() - before, 1);

    // Ten more ticks: one round trip each; the remote library keeps to one connection.
    std::set<std::string> used = connections();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(initialise(), 0);
        EXPECT_EQ(tickReads(), kHealthyTick);
        used.merge(connections());
    }
    EXPECT_EQ(requests() - before, 11);
    EXPECT_EQ(used.size(), library.remote ? 1u : 0u);
    EXPECT_TRUE(Reports::calls.empty());
}

TEST_P(SnapshotTest, EachTickReadsTheControllerAfresh) {
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

TEST_P(SnapshotTest, WritesGoOutAtOnceAndTheReadAfterAWriteSeesIt) {
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x81"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"inject", "encoder-error", "axis", "1,2"}).exitCode, 0);
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(word("rdErrorReg"), 0x81);
    EXPECT_EQ(library.digib(0), 1);
    EXPECT_EQ(library.digib(1), 1);
    const long before = requests();

    int32_t zero = 0;
    EXPECT_EQ(library.word("wrErrorReg", &zero), 0);
    EXPECT_EQ(requests() - before, 1);  // sent at once
    EXPECT_EQ(word("rdErrorReg"), 0);   // from the snapshot the write's answer brought
    EXPECT_EQ(requests() - before, 1);

    EXPECT_EQ(library.record("rdigi", axes[0]), 0);
    EXPECT_EQ(library.digib(0), 0);
    EXPECT_EQ(library.digib(1), 1);  // only the axis whose record was passed
    EXPECT_EQ(requests() - before, 2);

    // The link op codes of the went-online steps are sent, one request each.
    EXPECT_EQ(library.opCode(1003), 0);
    EXPECT_EQ(library.opCode(1002), 0);
    EXPECT_EQ(requests() - before, 4);
    // The reads after them, as after going online, cost no round trip.
    EXPECT_EQ(word("rdErrorReg"), 0);
    EXPECT_EQ(requests() - before, 4);
}

TEST_P(SnapshotTest, AReadOutsideATickFetchesItsOwnSnapshot) {
    const long before = requests();
    kvx::StatusRecord status;
    EXPECT_EQ(library.status(status), 0);
    EXPECT_EQ(status.maxCycleTime(), 1500u);
    EXPECT_EQ(requests() - before, 1);
    // A snapshot that has grown old is not used again.
    ASSERT_EQ(daemon->control({"set", "max-cycle", "1792"}).exitCode, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(library.status(status), 0);
    EXPECT_EQ(status.maxCycleTime(), 1792u);
    EXPECT_EQ(requests() - before, 2);
}

// The daemon killed and started again at the same address with a changed
// controller: the local library answers 34, the remote one calls its error
// routine once per failed request; the same library then reads the new one.
TEST_P(SnapshotTest, ALostDaemonFailsEveryReadAndIsFoundAgain) {
    ASSERT_EQ(initialise(), 0);
    const int port = daemon->port();
    daemon->stop(SIGKILL);
    daemon.reset();

    EXPECT_EQ(initialise(), library.remote ? int32_t{KVX_E_NO_CONNECTION} : int32_t{KVX_INIT_NO_MINIPORT});
    // No snapshot survives a failure: every read asks and fails.
    int32_t v = -1;
    EXPECT_EQ(library.word("rdErrorReg", &v), KVX_E_NO_CONNECTION);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(library.digib(0), 0);
    int32_t zero = 0;
    EXPECT_EQ(library.word("wrErrorReg", &zero), KVX_E_NO_CONNECTION);
    if (library.remote) {
        ASSERT_EQ(Reports::calls.size(), 4u);
        const std::string message =
            "web services at http://127.0.0.1:" + std::to_string(port) + " not reachable (Connection refused)";
        EXPECT_EQ(Reports::calls[0], std::make_pair(int32_t{KVX_E_NO_CONNECTION}, message));
    }

    start(port);
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x4"}).exitCode, 0);
    EXPECT_EQ(initialise(), 0);
    EXPECT_EQ(word("rdErrorReg"), 4);
    EXPECT_EQ(Reports::calls.size(), library.remote ? 4u : 0u);
}

// A daemon without snapshots: the library asks operation by operation and
// reads the same.
TEST_P(SnapshotTest, WithoutSnapshotsEveryOperationIsARequestOfItsOwn) {
    if (library.remote) {
        entry<KvxCloseRemoteFn>(library.lib, "KvxG3Close")(library.handle);
        library.handle = 0;
    }
    daemon.reset();
    start(0, {"--no-snapshots"});
    if (!library.remote) {
        ASSERT_EQ(entry<KvxCardSelectFn>(library.lib, "CardSelect")(0), 0);
    }
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(), kHealthyTick);
    const long before = requests();
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(), kHealthyTick);
    EXPECT_EQ(requests() - before, 26);  // the initialisation and 25 reads
}

INSTANTIATE_TEST_SUITE_P(Transports, SnapshotTest, ::testing::Values(Transport::Local, Transport::Remote),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::Local ? "Local" : "Remote";
                         });

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
