#include "driver/driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace kvx {
namespace {

// What the last fake entry point received. Local fakes answer 11, remote
// fakes 12, so a result also tells which form was called.
struct Received {
    int calls = 0;
    KvxHandle handle = -1;
    std::int32_t first = -1;
    std::int32_t second = -1;
    const void* record = nullptr;
    std::string text;
};
Received received;

constexpr std::int32_t kLocal = 11;
constexpr std::int32_t kRemote = 12;

std::int32_t localRecord(void* r) {
    ++received.calls;
    received.record = r;
    return kLocal;
}
std::int32_t remoteRecord(KvxHandle h, void* r) {
    ++received.calls;
    received.handle = h;
    received.record = r;
    return kRemote;
}
std::int32_t localStatus(void* r, std::int32_t size) {
    received.second = size;
    return localRecord(r);
}
std::int32_t remoteStatus(KvxHandle h, void* r, std::int32_t size) {
    received.second = size;
    return remoteRecord(h, r);
}
std::int32_t localPair(std::int32_t a, std::int32_t b) {
    ++received.calls;
    received.first = a;
    received.second = b;
    return kLocal;
}
std::int32_t remotePair(KvxHandle h, std::int32_t a, std::int32_t b) {
    received.handle = h;
    localPair(a, b);
    return kRemote;
}
std::int32_t remoteOpCode(KvxHandle h, std::int32_t opcode) {
    received.handle = h;
    localPair(-1, opcode);
    return kRemote;
}
std::int32_t localOption(void* d, std::int32_t* value) {
    *value = 62;
    localRecord(d);
    return KVX_OPTION_READ;
}
std::int32_t remoteOption(KvxHandle h, void* d, std::int32_t* value) {
    received.handle = h;
    return localOption(d, value);
}
std::int32_t localEnv(char* buffer) {
    received.text = buffer;
    std::strcpy(buffer, "S123");
    return 4;
}
std::int32_t remoteEnv(KvxHandle h, char* buffer) {
    received.handle = h;
    return localEnv(buffer);
}
std::int32_t localInt(std::int32_t* value) {
    received.first = *value;
    *value = 253048;
    return kLocal;
}
std::int32_t remoteInt(KvxHandle h, std::int32_t* value) {
    received.handle = h;
    localInt(value);
    return kRemote;
}
std::int32_t driverVersion() { return 0x1234; }
std::int32_t localTask(std::int32_t task, void* r) {
    received.first = task;
    return localRecord(r);
}
std::int32_t remoteTask(KvxHandle h, std::int32_t task, void* r) {
    received.first = task;
    return remoteRecord(h, r);
}
std::int32_t localInit(void* axes, void* info, std::int32_t base, const char* file, std::int32_t* boardType) {
    received.record = axes;
    received.first = base;
    received.text = file;
    static_cast<std::uint8_t*>(info)[40] = 5;
    *boardType = 16;
    return kLocal;
}
std::int32_t remoteInit(KvxHandle h, void* axes, void* info, const char* file, std::int32_t* boardType) {
    received.handle = h;
    localInit(axes, info, -1, file, boardType);
    return kRemote;
}
std::int32_t localBoot(const char* file, std::int32_t base) {
    received.text = file;
    received.first = base;
    return kLocal;
}
std::int32_t remoteBoot(KvxHandle h, const char* file) {
    received.handle = h;
    received.text = file;
    return kRemote;
}
std::int32_t cardSelect(std::int32_t index) { return index; }
std::int32_t localClose() {
    ++received.calls;
    return kLocal;
}
std::int32_t remoteClose(KvxHandle h) {
    received.handle = h;
    return kRemote;
}
std::int32_t remoteOpen(const char* url, std::int32_t reserved, const char* dev, std::int32_t mode, KvxHandle* h) {
    received.text = std::string(url) + "|" + dev;
    received.first = reserved;
    received.second = mode;
    *h = 42;
    return 0;
}
void onError(std::int32_t, const char*) {}
std::int32_t setErrorRoutine(KvxHandle h, KvxErrorRoutine routine) {
    received.handle = h;
    received.record = reinterpret_cast<const void*>(routine);
    return kRemote;
}

template <typename Fn>
void* address(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

// Both forms of every operation the facade calls.
EntryPointTable fullTable() {
    EntryPointTable t;
    auto both = [&t](Op op, void* local, void* remote) {
        t[op].local = local;
        t[op].remote = remote;
    };
    both(Op::Init, address(&localInit), address(&remoteInit));
    both(Op::BootFile, address(&localBoot), address(&remoteBoot));
    both(Op::CardSelect, address(&cardSelect), nullptr);
    both(Op::Close, address(&localClose), address(&remoteClose));
    both(Op::KvxG3XOpen, nullptr, address(&remoteOpen));
    both(Op::KVXG3_SetDllErrorRoutine, nullptr, address(&setErrorRoutine));
    both(Op::rdKvxStatus, address(&localStatus), address(&remoteStatus));
    for (Op op : {Op::rdaxst, Op::rdifs, Op::rdasms, Op::rdasmecs, Op::rdmpe, Op::rdigi})
        both(op, address(&localRecord), address(&remoteRecord));
    both(Op::rddigib, address(&localPair), address(&remotePair));
    both(Op::rdOptionInt, address(&localOption), address(&remoteOption));
    both(Op::getEnvStr, address(&localEnv), address(&remoteEnv));
    for (Op op : {Op::rdOsVersion, Op::rdPldVersion, Op::rdSampleTime, Op::rdErrorReg, Op::wrErrorReg})
        both(op, address(&localInt), address(&remoteInt));
    both(Op::rdDriverVersion, address(&driverVersion), address(&driverVersion));
    both(Op::tvMXI_OpCodeToLinkMTX, address(&localPair), address(&remoteOpCode));
    both(Op::rdcncts, address(&localTask), address(&remoteTask));
    both(Op::getcnctfh, address(&localTask), address(&remoteTask));
    return t;
}

class DriverFacadeTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { received = Received{}; }
};

// With nothing callable, every operation answers "not provided", writes the
// contract's default where it names one, and leaves everything else alone.
void expectDefaults(Driver& driver) {
    const std::uint8_t mark = 0xEE;

    AxisRecord axis;
    axis.bytes.fill(mark);
    EXPECT_EQ(driver.rdaxst(axis), std::nullopt);
    EXPECT_EQ(axis.axisStateWord(), 0u);
    EXPECT_EQ(axis.bytes[199], mark);
    EXPECT_EQ(axis.bytes[204], mark);

    AxisTable axes;
    for (int i = 0; i < AxisTable::kAxes; ++i) axes[i].bytes.fill(mark);
    EXPECT_EQ(driver.rdifs(axes), std::nullopt);
    EXPECT_EQ(axes[0].statusWord(), 0u);
    EXPECT_EQ(axes[0].axisStateWord(), 0xEEEEEEEEu);
    EXPECT_EQ(axes[1].statusWord(), 0xEEEEEEEEu);

    TaskStateRecord state;
    state.bytes.fill(mark);
    EXPECT_EQ(driver.rdcncts(1, state), std::nullopt);
    EXPECT_EQ(state.bytes, TaskStateRecord{}.bytes);
    TaskFileRecord file;
    file.bytes.fill(mark);
    EXPECT_EQ(driver.getcnctfh(2, file), std::nullopt);
    EXPECT_EQ(file.bytes, TaskFileRecord{}.bytes);

    AxisRecord untouched;
    untouched.bytes.fill(mark);
    const auto before = untouched.bytes;
    EXPECT_EQ(driver.rdasms(untouched), std::nullopt);
    EXPECT_EQ(driver.rdasmecs(untouched), std::nullopt);
    EXPECT_EQ(driver.rdmpe(untouched), std::nullopt);
    EXPECT_EQ(driver.rdigi(untouched), std::nullopt);
    EXPECT_EQ(untouched.bytes, before);

    StatusRecord status;
    status.bytes.fill(mark);
    EXPECT_EQ(driver.rdKvxStatus(status), std::nullopt);
    EXPECT_EQ(status.minCycleTime(), 0xEEEEEEEEu);

    EXPECT_EQ(driver.rddigib(3), std::nullopt);
    OptionDescriptor option;
    option.fill(62);
    std::int32_t value = 55;
    EXPECT_EQ(driver.rdOptionInt(option, value), std::nullopt);
    EXPECT_EQ(value, 55);
    EnvBuffer env;
    env.setText("SerialNumber");
    EXPECT_EQ(driver.getEnvStr(env), std::nullopt);
    EXPECT_EQ(env.text(), "SerialNumber");
    EXPECT_EQ(driver.rdOsVersion(value), std::nullopt);
    EXPECT_EQ(driver.rdPldVersion(value), std::nullopt);
    EXPECT_EQ(driver.rdSampleTime(value), std::nullopt);
    EXPECT_EQ(driver.rdErrorReg(value), std::nullopt);
    EXPECT_EQ(driver.wrErrorReg(value), std::nullopt);
    EXPECT_EQ(value, 55);
    EXPECT_EQ(driver.rdDriverVersion(), std::nullopt);
    EXPECT_EQ(driver.tvMXI_OpCodeToLinkMTX(0, 1003), std::nullopt);

    SystemInfo info;
    std::int32_t boardType = -7;
    EXPECT_EQ(driver.initSystem(axes, info, 0, "SYSTEM.DAT", boardType), std::nullopt);
    EXPECT_EQ(boardType, -7);
    EXPECT_EQ(driver.BootFile("TAVOS.ELF", 0), std::nullopt);
    EXPECT_EQ(driver.CardSelect(0), std::nullopt);
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1", "dev"), std::nullopt);
    EXPECT_EQ(driver.KVXG3_SetDllErrorRoutine(&onError), std::nullopt);
    EXPECT_EQ(driver.closeConnection(), std::nullopt);
}

TEST_P(DriverFacadeTest, EmptySlotsGiveTheContractsDefaults) {
    EntryPointTable table;
    Driver driver(table);
    driver.setRemote(GetParam());
    driver.setRemoteHandle(9);
    expectDefaults(driver);
    EXPECT_EQ(driver.remoteHandle(), GetParam() ? 0 : 9);  // a remote close forgets the handle
    EXPECT_EQ(received.calls, 0);
}

TEST_P(DriverFacadeTest, TheEmptyRoutineIsNeverCalled) {
    EntryPointTable table;
    for (Slot& s : table.entries) s.local = s.remote = emptyRoutineAddress();
    Driver driver(table);
    driver.setRemote(GetParam());
    for (std::size_t i = 0; i < kOpCount; ++i) EXPECT_FALSE(driver.provides(static_cast<Op>(i)));
    // Called through an operation's type, the empty routine would give back an
    // arbitrary number instead of "not provided".
    expectDefaults(driver);
}

TEST_P(DriverFacadeTest, OnlyTheCurrentModesFormIsUsed) {
    const bool remote = GetParam();
    EntryPointTable table = fullTable();
    // The current mode's forms are gone; the other mode's stay.
    for (Slot& s : table.entries) (remote ? s.remote : s.local) = nullptr;
    Driver driver(table);
    driver.setRemote(remote);
    expectDefaults(driver);
    EXPECT_EQ(received.calls, 0);
    EXPECT_EQ(received.handle, -1);
}

INSTANTIATE_TEST_SUITE_P(BothModes, DriverFacadeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Remote" : "Local"; });

class DriverFacadeFormsTest : public ::testing::Test {
protected:
    void SetUp() override { received = Received{}; }
    EntryPointTable table = fullTable();
    Driver driver{table};
};

TEST_F(DriverFacadeFormsTest, LocalFormsGetTheirArguments) {
    AxisRecord axis;
    EXPECT_EQ(driver.rdaxst(axis), kLocal);
    EXPECT_EQ(received.record, axis.data());

    StatusRecord status;
    EXPECT_EQ(driver.rdKvxStatus(status), kLocal);
    EXPECT_EQ(received.second, 240);

    EXPECT_EQ(driver.rddigib(4), kLocal);
    EXPECT_EQ(received.first, 4);
    EXPECT_EQ(received.second, 18);

    EXPECT_EQ(driver.tvMXI_OpCodeToLinkMTX(2, 1003), kLocal);
    EXPECT_EQ(received.first, 2);
    EXPECT_EQ(received.second, 1003);

    std::int32_t zero = 0;
    EXPECT_EQ(driver.wrErrorReg(zero), kLocal);
    EXPECT_EQ(received.first, 0);
    std::int32_t version = 0;
    EXPECT_EQ(driver.rdOsVersion(version), kLocal);
    EXPECT_EQ(version, 253048);

    AxisTable axes;
    SystemInfo info;
    std::int32_t boardType = 0;
    EXPECT_EQ(driver.initSystem(axes, info, 0x300, "C:\\KVX\\SYSTEM.DAT", boardType), kLocal);
    EXPECT_EQ(received.first, 0x300);
    EXPECT_EQ(received.text, "C:\\KVX\\SYSTEM.DAT");
    EXPECT_EQ(boardType, 16);
    EXPECT_EQ(info.axisCount(), 5);

    EXPECT_EQ(driver.BootFile("TAVOS.ELF", 0x300), kLocal);
    EXPECT_EQ(received.text, "TAVOS.ELF");
    EXPECT_EQ(driver.CardSelect(1), 1);
    EXPECT_EQ(driver.rdDriverVersion(), 0x1234);

    TaskStateRecord state;
    EXPECT_EQ(driver.rdcncts(3, state), kLocal);
    EXPECT_EQ(received.first, 3);
    EXPECT_EQ(received.record, state.data());

    EXPECT_EQ(received.handle, -1);  // no remote form was called
    // Remote-only operations are not called in local mode.
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1", "dev"), std::nullopt);
    EXPECT_EQ(driver.KVXG3_SetDllErrorRoutine(&onError), std::nullopt);
    EXPECT_EQ(driver.closeConnection(), kLocal);
}

TEST_F(DriverFacadeFormsTest, RemoteFormsGetTheHandleFirst) {
    driver.setRemote(true);
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1:8080", "kvx.dev"), 0);
    EXPECT_EQ(received.text, "http://127.0.0.1:8080|kvx.dev");
    EXPECT_EQ(received.first, 0);
    EXPECT_EQ(received.second, 5);
    EXPECT_EQ(driver.remoteHandle(), 42);

    EXPECT_EQ(driver.KVXG3_SetDllErrorRoutine(&onError), kRemote);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(received.record, reinterpret_cast<const void*>(&onError));

    received.handle = -1;
    AxisTable axes;
    EXPECT_EQ(driver.rdifs(axes), kRemote);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(received.record, axes.data());

    received.handle = -1;
    EXPECT_EQ(driver.rddigib(6), kRemote);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(received.first, 6);
    EXPECT_EQ(received.second, 18);

    EXPECT_EQ(driver.tvMXI_OpCodeToLinkMTX(2, 1002), kRemote);
    EXPECT_EQ(received.second, 1002);

    OptionDescriptor option;
    std::int32_t value = 0;
    received.handle = -1;
    EXPECT_EQ(driver.rdOptionInt(option, value), KVX_OPTION_READ);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(value, 62);

    EnvBuffer env;
    env.setText("SampleTime");
    EXPECT_EQ(driver.getEnvStr(env), 4);
    EXPECT_EQ(received.text, "SampleTime");
    EXPECT_EQ(env.text(), "S123");

    SystemInfo info;
    std::int32_t boardType = 0;
    received.handle = -1;
    EXPECT_EQ(driver.initSystem(axes, info, 0x300, "/remote/SYSTEM.DAT", boardType), kRemote);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(received.text, "/remote/SYSTEM.DAT");

    TaskFileRecord file;
    EXPECT_EQ(driver.getcnctfh(0, file), kRemote);
    EXPECT_EQ(received.record, file.data());

    // Local-only operations are not called in remote mode.
    EXPECT_EQ(driver.CardSelect(1), std::nullopt);
    EXPECT_EQ(driver.rdDriverVersion(), std::nullopt);

    received.handle = -1;
    EXPECT_EQ(driver.closeConnection(), kRemote);
    EXPECT_EQ(received.handle, 42);
    EXPECT_EQ(driver.remoteHandle(), 0);
}

// Calls on a thread of their own, call-backs in place.
struct ThreadedWait : DriverCallWait {
    void run(const std::function<void()>& call) override { ++runs, std::thread(call).join(); }
    void callBack(const std::function<void()>& work) override { ++callBacks, work(); }
    int runs = 0, callBacks = 0;
};
std::string raised;

TEST_F(DriverFacadeFormsTest, ACallWaitRunsLibraryCallsAndHandsTheErrorRoutineBack) {
    ThreadedWait wait;
    driver.setCallWait(&wait);
    driver.setRemote(true);
    EXPECT_TRUE(driver.provides(Op::rdOsVersion));  // the table's own answer: no call
    const auto routine = +[](std::int32_t code, const char* m) { raised = std::to_string(code) + m; };
    EXPECT_EQ(driver.KVXG3_SetDllErrorRoutine(routine), kRemote);
    EXPECT_EQ(wait.runs, 1);
    reinterpret_cast<KvxErrorRoutine>(const_cast<void*>(received.record))(7, " link lost");
    EXPECT_EQ(wait.callBacks, 1);
    EXPECT_EQ(raised, "7 link lost");
}

TEST_F(DriverFacadeFormsTest, AFailedOpenKeepsNoHandle) {
    table[Op::KvxG3XOpen].remote = address(+[](const char*, std::int32_t, const char*, std::int32_t, KvxHandle* h) {
        *h = 99;
        return 3;
    });
    driver.setRemote(true);
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1", "dev"), 3);
    EXPECT_EQ(driver.remoteHandle(), 0);
}

}  // namespace
}  // namespace kvx
