// The local library answers a tick's reads from one snapshot of the card,
// fetched with the tick's initialisation, as the remote library does: what a
// tick reads, how many round trips it costs, writes, reads outside a tick,
// a daemon that goes away and comes back.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>

#include <httplib.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "daemon_process.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"

namespace kvxsim::test {
namespace {

template <typename Fn>
Fn entry(void* library, const char* name) {
    void* address = ::dlsym(library, name);
    if (!address) ADD_FAILURE() << "missing entry point " << name;
    return reinterpret_cast<Fn>(address);
}

// The local library on a daemon of the test's own socket.
class LocalSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib, nullptr);
        ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
        daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", socket);
        ASSERT_TRUE(daemon->running());
        ASSERT_EQ(cardSelect(0), 0);
    }
    void TearDown() override {
        close();
        ::unsetenv("KVXSIM_SOCKET");
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

    int32_t initialise() { return init(axes.data(), info.data(), 0, "SYSTEM.DAT", &boardType); }
    int32_t word(KvxIntLocalFn fn) {
        int32_t v = -1;
        EXPECT_EQ(fn(&v), 0);
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
            out << " " << name << " " << getEnvStr(env.chars()) << ":" << env.text();
        }
        kvx::OptionDescriptors options;
        options.fill();
        for (auto which : {kvx::OptionDescriptors::EpmBase, kvx::OptionDescriptors::EpmOption}) {
            int32_t v = -1;
            out << " option " << rdOptionInt(options[which].data(), &v) << ":" << v;
        }
        out << " ifs " << rdifs(axes.data()) << ":" << axes[0].statusWord();
        for (int a = 0; a < info.axisCount(); ++a) out << " enc" << a << " " << rddigib(a, 18);
        for (int a = 0; a < info.axisCount(); ++a)
            out << " ax" << a << " " << rdaxst(&axes[a]) << ":" << axes[a].axisStateWord();
        for (int t = 0; t < 4; ++t) {
            kvx::TaskStateRecord state;
            kvx::TaskFileRecord file;
            out << " task" << t << " " << rdcncts(t, state.data()) << getcnctfh(t, file.data()) << ":"
                << state.state() << ":" << state.errorNumber() << ":" << file.fileName();
        }
        kvx::StatusRecord status;
        out << " status " << rdKvxStatus(status.data(), 240) << ":" << status.minCycleTime() << ":"
            << status.maxCycleTime() << ":" << status.rxComErrors();
        lastRunCounter = status.runCounter();
        return out.str();
    }

    TempDir dir;
    std::string socket = dir.file("kvxsim.sock");
    std::unique_ptr<DaemonProcess> daemon;
    void* lib = ::dlopen((binDir() + "/kvxg3.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
    KvxInitLocalFn init = entry<KvxInitLocalFn>(lib, "InitKvxSystem3");
    KvxCardSelectFn cardSelect = entry<KvxCardSelectFn>(lib, "CardSelect");
    KvxCloseLocalFn close = entry<KvxCloseLocalFn>(lib, "KvxClose");
    KvxStatusLocalFn rdKvxStatus = entry<KvxStatusLocalFn>(lib, "rdKvxStatus");
    KvxRecordLocalFn rdaxst = entry<KvxRecordLocalFn>(lib, "rdaxst");
    KvxRecordLocalFn rdifs = entry<KvxRecordLocalFn>(lib, "rdifs");
    KvxRecordLocalFn rdmpe = entry<KvxRecordLocalFn>(lib, "rdmpe");
    KvxRecordLocalFn rdigi = entry<KvxRecordLocalFn>(lib, "rdigi");
    KvxDigibLocalFn rddigib = entry<KvxDigibLocalFn>(lib, "rddigib");
    KvxOptionLocalFn rdOptionInt = entry<KvxOptionLocalFn>(lib, "rdOptionInt");
    KvxEnvLocalFn getEnvStr = entry<KvxEnvLocalFn>(lib, "getEnvStr");
    KvxIntLocalFn rdOsVersion = entry<KvxIntLocalFn>(lib, "rdOsVersion");
    KvxIntLocalFn rdPldVersion = entry<KvxIntLocalFn>(lib, "rdPldVersion");
    KvxIntLocalFn rdSampleTime = entry<KvxIntLocalFn>(lib, "rdSampleTime");
    KvxIntLocalFn rdErrorReg = entry<KvxIntLocalFn>(lib, "rdErrorReg");
    KvxIntLocalFn wrErrorReg = entry<KvxIntLocalFn>(lib, "wrErrorReg");
    KvxOpCodeLocalFn opCode = entry<KvxOpCodeLocalFn>(lib, "tvMXI_OpCodeToLinkMTX");
    KvxTaskLocalFn rdcncts = entry<KvxTaskLocalFn>(lib, "rdcncts");
    KvxTaskLocalFn getcnctfh = entry<KvxTaskLocalFn>(lib, "getcnctfh");

    kvx::AxisTable axes;
    kvx::SystemInfo info;
    int32_t boardType = -1;
    std::uint32_t lastRunCounter = 0;
};

const std::string kHealthyTick =
    "os 253048 sample 1280 errreg 0 SerialNumber 8:20001234 SerialNumberOXT 8:21005678 option 4:5 option 4:3"
    " ifs 0:3 enc0 0 enc1 0 enc2 0 enc3 0 ax0 0:0 ax1 0:0 ax2 0:0 ax3 0:0"
    " task0 00:1:0:MAIN.QSL task1 00:1:0:HOMING.QSL task2 00:0:0: task3 00:0:0: status 0:1000:1500:0";

TEST_F(LocalSnapshotTest, ATickCostsOneRoundTripAndReadsWhatSingleRequestsWould) {
    const long before = requests();
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(boardType, 4);
    EXPECT_EQ(info.axisCount(), 4);
    EXPECT_EQ(info.tavosName(), "TAVOS");
    EXPECT_EQ(tickReads(), kHealthyTick);
    EXPECT_EQ(requests() - before, 1);

    // The went-online reads come from the same snapshot.
    EXPECT_EQ(word(rdPldVersion), 7);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(rdmpe(&axes[a]), 0);
    EXPECT_EQ(axes[0].maxPositionErrorLimit(), 12.5);
    EXPECT_EQ(axes[3].maxPositionErrorLimit(), 8.0);
    kvx::EnvBuffer env;
    env.setText("NoSuchVariable");
    EXPECT_EQ(getEnvStr(env.chars()), 0);
    EXPECT_EQ(requests() - before, 1);

    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(initialise(), 0);
        EXPECT_EQ(tickReads(), kHealthyTick);
    }
    EXPECT_EQ(requests() - before, 11);
}

TEST_F(LocalSnapshotTest, EachTickReadsTheCardAfresh) {
    ASSERT_EQ(initialise(), 0);
    tickReads();
    const std::uint32_t firstRun = lastRunCounter;
    ASSERT_EQ(daemon->control({"inject", "emergency-out", "axis", "2"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "rx-com", "9"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "env", "SerialNumber", "777"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"set", "option", "63", "none"}).exitCode, 0);

    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(tickReads(),
              "os 253048 sample 1280 errreg 0 SerialNumber 3:777 SerialNumberOXT 8:21005678 option 4:5 option 0:-1"
              " ifs 0:3 enc0 0 enc1 0 enc2 0 enc3 0 ax0 0:0 ax1 0:2 ax2 0:0 ax3 0:0"
              " task0 00:1:0:MAIN.QSL task1 00:1:0:HOMING.QSL task2 00:0:0: task3 00:0:0: status 0:1000:1500:9");
    EXPECT_GT(lastRunCounter, firstRun);

    ASSERT_EQ(daemon->control({"offline", "33"}).exitCode, 0);
    EXPECT_EQ(initialise(), 33);
    ASSERT_EQ(daemon->control({"online"}).exitCode, 0);
    EXPECT_EQ(initialise(), 0);
}

TEST_F(LocalSnapshotTest, WritesGoOutAtOnceAndTheReadAfterAWriteSeesIt) {
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x81"}).exitCode, 0);
    ASSERT_EQ(daemon->control({"inject", "encoder-error", "axis", "1,2"}).exitCode, 0);
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(word(rdErrorReg), 0x81);
    EXPECT_EQ(rddigib(0, 18), 1);
    EXPECT_EQ(rddigib(1, 18), 1);
    const long before = requests();

    int32_t zero = 0;
    EXPECT_EQ(wrErrorReg(&zero), 0);
    EXPECT_EQ(requests() - before, 1);  // sent at once
    EXPECT_EQ(word(rdErrorReg), 0);     // from the snapshot the write's answer brought
    EXPECT_EQ(requests() - before, 1);

    EXPECT_EQ(rdigi(&axes[0]), 0);
    EXPECT_EQ(rddigib(0, 18), 0);
    EXPECT_EQ(rddigib(1, 18), 1);  // only the axis whose record was passed
    EXPECT_EQ(requests() - before, 2);

    EXPECT_EQ(opCode(0, 1003), 0);
    EXPECT_EQ(opCode(0, 1002), 0);
    EXPECT_EQ(requests() - before, 4);
    // The reads after them, as after going online, cost no round trip.
    EXPECT_EQ(word(rdErrorReg), 0);
    EXPECT_EQ(requests() - before, 4);
}

TEST_F(LocalSnapshotTest, AReadOutsideATickFetchesItsOwnSnapshot) {
    const long before = requests();
    kvx::StatusRecord status;
    EXPECT_EQ(rdKvxStatus(status.data(), 240), 0);
    EXPECT_EQ(status.maxCycleTime(), 1500u);
    EXPECT_EQ(requests() - before, 1);
    // A snapshot that has grown old is not used again.
    ASSERT_EQ(daemon->control({"set", "max-cycle", "1792"}).exitCode, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(rdKvxStatus(status.data(), 240), 0);
    EXPECT_EQ(status.maxCycleTime(), 1792u);
    EXPECT_EQ(requests() - before, 2);
}

TEST_F(LocalSnapshotTest, ADaemonThatGoesAwayAnswers34AndIsFoundAgain) {
    ASSERT_EQ(initialise(), 0);
    daemon->stop(SIGKILL);
    daemon.reset();

    EXPECT_EQ(initialise(), KVX_INIT_NO_MINIPORT);
    // No snapshot survives a failure: every read asks and fails.
    int32_t v = -1;
    EXPECT_EQ(rdErrorReg(&v), KVX_E_NO_CONNECTION);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(rddigib(0, 18), 0);
    int32_t zero = 0;
    EXPECT_EQ(wrErrorReg(&zero), KVX_E_NO_CONNECTION);

    // A daemon on the same socket with a changed card: reads show it.
    daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(daemon->control({"inject", "error-register", "0x4"}).exitCode, 0);
    EXPECT_EQ(initialise(), 0);
    EXPECT_EQ(word(rdErrorReg), 4);
}

}  // namespace
}  // namespace kvxsim::test
