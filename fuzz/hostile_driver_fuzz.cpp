// Fuzz target: the poll cycle against a hostile driver library. Every
// operation the monitor calls answers codes taken from the input and writes
// input bytes anywhere in the records it is given: axis counts out of range,
// unknown board types, texts without terminators, NaN limits, counters at
// their extremes. The input also decides the mode, which operations the
// library lacks, the driver version and when the user double-clicks the
// summary. The monitor must neither read nor write outside its records and
// must end every tick with a summary.
//
// In its second form the operations are those of the real driver libraries,
// which ask a fake simulator over the unix socket or HTTP; the input decides
// each answer: healthy, healthy with one value anywhere in it replaced by one
// of the wrong type or out of range, or any text. The libraries must answer
// every call with a code and never write outside the records.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "display/display_model.h"
#include "driver/driver.h"
#include "driver/driver_library.h"
#include "driver/entry_points.h"
#include "fuzz_input.h"
#include "platform/clock.h"
#include "poll/poll_cycle.h"
#include "poll/poll_state.h"
#include "report/error_summary.h"
#include "report/protocol_file.h"
#include "settings/settings_values.h"
#include "support/fake_simulator.h"

namespace {

using kvx::fuzz::FuzzInput;

FuzzInput* g_in = nullptr;

FuzzInput& in() { return *g_in; }

// Overwrites parts of a record of `size` bytes the way the input says:
// nothing, all of it, all of it with one byte value (so no text in it ends),
// or a few runs of bytes at chosen offsets.
void scribble(void* record, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(record);
    switch (in().byte() % 4) {
    case 0:
        break;
    case 1:
        in().fill(p, size);
        break;
    case 2:
        std::memset(p, in().byte(), size);
        break;
    default: {
        const int runs = 1 + in().byte() % 4;
        for (int r = 0; r < runs; ++r) {
            std::size_t offset = (std::size_t(in().byte()) | std::size_t(in().byte()) << 8) % size;
            std::size_t len = 1 + in().byte() % 16;
            if (len > size - offset) len = size - offset;
            in().fill(p + offset, len);
        }
    }
    }
}

std::int32_t code() {
    // Mostly the codes the monitor tells apart, sometimes anything.
    static constexpr std::int32_t kCodes[] = {0, 0, 0, 4, 20, 33, 34, 1, -1, 3};
    const std::uint8_t b = in().byte();
    return b < 200 ? kCodes[b % 10] : in().i32();
}

void writeInt(std::int32_t* value) {
    if (value && in().flag()) *value = in().i32();
}

// ---- the operations, local forms --------------------------------------

std::int32_t initLocal(void* axes, void* info, std::int32_t, const char* file, std::int32_t* boardType) {
    if (file) (void)std::strlen(file);
    scribble(axes, kvx::AxisTable::kAxes * KVX_AXIS_RECORD_SIZE);
    scribble(info, KVX_SYSTEM_INFO_SIZE);
    if (in().flag()) {
        static constexpr std::int32_t kBoards[] = {4, 8, 16, 32};
        const std::uint8_t b = in().byte();
        *boardType = b < 192 ? kBoards[b % 4] : in().i32();
    }
    if (in().flag()) {
        std::int32_t axes32 = in().i32();
        std::memcpy(static_cast<std::uint8_t*>(info) + kvx::SystemInfo::kAxisCount, &axes32, 4);
    }
    return code();
}
std::int32_t record(void* r) {
    scribble(r, KVX_AXIS_RECORD_SIZE);
    return code();
}
std::int32_t axisTable(void* t) {
    scribble(t, kvx::AxisTable::kAxes * KVX_AXIS_RECORD_SIZE);
    return code();
}
std::int32_t status(void* s, std::int32_t size) {
    if (size != KVX_STATUS_RECORD_SIZE) std::abort();
    scribble(s, static_cast<std::size_t>(size));
    return code();
}
std::int32_t digib(std::int32_t, std::int32_t count) {
    if (count != 18) std::abort();
    return code();
}
std::int32_t option(void* descriptor, std::int32_t* value) {
    scribble(descriptor, KVX_OPTION_DESCRIPTOR_WORDS * 4);
    writeInt(value);
    return code();
}
std::int32_t env(char* buffer) {
    (void)std::strlen(buffer);  // the monitor hands over a terminated name
    scribble(buffer, KVX_ENV_BUFFER_SIZE);
    return code();
}
std::int32_t intOp(std::int32_t* value) {
    writeInt(value);
    return code();
}
std::int32_t driverVersion() { return in().i32(); }
std::int32_t opcode(std::int32_t, std::int32_t) { return code(); }
std::int32_t taskState(std::int32_t task, void* r) {
    if (task < 0 || task > 3) std::abort();
    scribble(r, KVX_TASK_STATE_SIZE);
    return code();
}
std::int32_t taskFile(std::int32_t task, void* r) {
    if (task < 0 || task > 3) std::abort();
    scribble(r, KVX_TASK_FILE_SIZE);
    return code();
}

// ---- remote forms: the handle, then the same -------------------------

std::int32_t initRemote(KvxHandle, void* axes, void* info, const char* file, std::int32_t* boardType) {
    return initLocal(axes, info, 0, file, boardType);
}
std::int32_t recordR(KvxHandle, void* r) { return record(r); }
std::int32_t axisTableR(KvxHandle, void* t) { return axisTable(t); }
std::int32_t statusR(KvxHandle, void* s, std::int32_t size) { return status(s, size); }
std::int32_t digibR(KvxHandle, std::int32_t axis, std::int32_t count) { return digib(axis, count); }
std::int32_t optionR(KvxHandle, void* d, std::int32_t* v) { return option(d, v); }
std::int32_t envR(KvxHandle, char* b) { return env(b); }
std::int32_t intOpR(KvxHandle, std::int32_t* v) { return intOp(v); }
std::int32_t opcodeR(KvxHandle, std::int32_t) { return code(); }
std::int32_t taskStateR(KvxHandle, std::int32_t t, void* r) { return taskState(t, r); }
std::int32_t taskFileR(KvxHandle, std::int32_t t, void* r) { return taskFile(t, r); }

template <typename F>
void* fp(F f) {
    return reinterpret_cast<void*>(f);
}

struct OpForms {
    kvx::Op op;
    void* local;
    void* remote;
};

const OpForms kOps[] = {
    {kvx::Op::Init, fp(initLocal), fp(initRemote)},
    {kvx::Op::rdaxst, fp(record), fp(recordR)},
    {kvx::Op::rdasms, fp(record), fp(recordR)},
    {kvx::Op::rdasmecs, fp(record), fp(recordR)},
    {kvx::Op::rdmpe, fp(record), fp(recordR)},
    {kvx::Op::rdigi, fp(record), fp(recordR)},
    {kvx::Op::rdifs, fp(axisTable), fp(axisTableR)},
    {kvx::Op::rdKvxStatus, fp(status), fp(statusR)},
    {kvx::Op::rddigib, fp(digib), fp(digibR)},
    {kvx::Op::rdOptionInt, fp(option), fp(optionR)},
    {kvx::Op::getEnvStr, fp(env), fp(envR)},
    {kvx::Op::rdOsVersion, fp(intOp), fp(intOpR)},
    {kvx::Op::rdPldVersion, fp(intOp), fp(intOpR)},
    {kvx::Op::rdSampleTime, fp(intOp), fp(intOpR)},
    {kvx::Op::rdErrorReg, fp(intOp), fp(intOpR)},
    {kvx::Op::wrErrorReg, fp(intOp), fp(intOpR)},
    {kvx::Op::rdDriverVersion, fp(driverVersion), nullptr},
    {kvx::Op::tvMXI_OpCodeToLinkMTX, fp(opcode), fp(opcodeR)},
    {kvx::Op::rdcncts, fp(taskState), fp(taskStateR)},
    {kvx::Op::getcnctfh, fp(taskFile), fp(taskFileR)},
};

// ---- the real libraries against a fake simulator -----------------------

std::mutex g_answerMutex;  // the simulator's threads read the input too

nlohmann::json hostileValue(std::uint8_t which) {
    static const char* const kValues[] = {
        R"("x")", "1e30", "1e300", "-1", "4294967296", "1.5", "null", "true", "[]", "{}", "[1,2,3]",
        R"({"rc":0})", "-2147483649", "18446744073709551615", R"("")", "0", "-100", "[[[[[[[[]]]]]]]]"};
    return nlohmann::json::parse(kValues[which % (sizeof kValues / sizeof kValues[0])]);
}

// The snapshot a running controller would send: its answers to the reads of a tick.
nlohmann::json healthySnapshot() {
    nlohmann::json answers = nlohmann::json::object();
    for (const char* op : {"status", "osVersion", "pld", "sampleTime", "errorReg", "miniport", "ifs"})
        answers[op] = nlohmann::json::parse(kvx::test::FakeSimulator::healthyAnswer({{"op", op}}));
    for (int i = 0; i < 4; ++i) {
        answers["axis/" + std::to_string(i)] = nlohmann::json::parse(kvx::test::FakeSimulator::healthyAnswer({{"op", "axis"}}));
        answers["task/" + std::to_string(i)] = nlohmann::json::parse(kvx::test::FakeSimulator::healthyAnswer({{"op", "task"}}));
    }
    return {{"rc", 0}, {"snapshot", {{"answers", answers}}}};
}

kvx::test::FakeReply answerFromInput(const nlohmann::json& request) {
    std::lock_guard lock(g_answerMutex);
    if (!g_in) return {R"({"rc":-101})"};
    const std::uint8_t b = in().byte();
    const bool snapshot = request.value("op", "") == "snapshot";
    nlohmann::json answer = snapshot ? healthySnapshot()
                                     : nlohmann::json::parse(kvx::test::FakeSimulator::healthyAnswer(request));
    if (b < 96) return {answer.dump()};
    if (b >= 240) return {in().text(4096)};
    // One value somewhere in the answer replaced: walk down a few levels.
    nlohmann::json* at = &answer;
    for (int depth = in().byte() % 5; depth > 0 && (at->is_object() || at->is_array()) && !at->empty(); --depth) {
        auto it = at->begin();
        std::advance(it, in().byte() % at->size());
        at = &*it;
    }
    *at = hostileValue(in().byte());
    return {answer.dump()};
}

// The two libraries, loaded once, and the simulator they reach.
struct RealLibraries {
    RealLibraries() : dir(makeDir()), simulator(dir + "/kvxsim.sock", answerFromInput) {
        ::setenv("KVXSIM_SOCKET", (dir + "/kvxsim.sock").c_str(), 1);
        for (int remote = 0; remote < 2; ++remote) {
            const std::string file = std::string(KVX_DRIVER_DIR) + (remote ? "/kvxg3X.DLL" : "/kvxg3.dll");
            libraries[remote] = std::make_unique<kvx::DriverLibrary>(
                [file](const std::string& name) -> std::optional<std::string> {
                    if (name == "KVXDLLNAME") return file;
                    return std::nullopt;
                });
            if (!libraries[remote]->loadDriverLibrary("kvxg3.dll", remote == 1, false)) std::abort();
        }
    }
    static std::string makeDir() {
        char pattern[] = "/tmp/kvx-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        return pattern;
    }
    std::string dir;
    kvx::test::FakeSimulator simulator;
    std::unique_ptr<kvx::DriverLibrary> libraries[2];
};

RealLibraries& realLibraries() {
    static RealLibraries instance;
    return instance;
}

class NoWaitClock final : public kvx::Clock {
public:
    kvx::LocalTime now() override { return {2024, 3, 5, 8, 15, 2}; }
    void sleepMs(int) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    g_in = &input;

    // The library: which operations it has, in which mode; or one of the
    // real libraries.
    const std::uint8_t form = input.byte();
    const bool remote = form & 1;
    const bool real = form & 2;
    kvx::EntryPointTable table;
    const std::uint32_t missing = input.u32();
    if (real) {
        table = realLibraries().libraries[remote ? 1 : 0]->table();
    } else {
        for (std::size_t i = 0; i < sizeof kOps / sizeof kOps[0]; ++i) {
            const bool lacks = i > 0 && (missing >> i & 1);  // without the initialisation nothing runs
            if (!lacks) table[kOps[i].op] = kvx::Slot{kOps[i].local, kOps[i].remote};
        }
    }

    kvx::Driver driver(table);
    driver.setRemote(remote);
    driver.setRemoteHandle(remote ? 77 : 0);
    if (real && remote) {
        const kvx::DriverResult open = driver.KvxG3XOpen(realLibraries().simulator.url(), "kvx0");
        if (open.value_or(1) != 0) {
            g_in = nullptr;
            return 0;
        }
    }

    kvx::SettingsValues settings;
    settings.useWebServices = remote ? 1 : 0;
    settings.selectedCard = input.byte() % 4;
    settings.systemFileName = "SYSTEM.DAT";
    settings.remoteSysFileName = "remote.dat";
    static constexpr double kVersions[] = {0, 252.9, 253.0, 253.015, 253.02, 253.02002, 253.048, 999.0};
    kvx::PollState state;
    state.driverVersion = kVersions[input.byte() % 8];
    state.resetForStart();

    kvx::DriverRecords records;
    records.optionDescriptors.fill();
    kvx::DisplayModel model;
    kvx::ErrorSummary summary(model);
    summary.resetForStart();
    NoWaitClock clock;
    kvx::ProtocolFile protocol(clock);
    protocol.open("/dev/null");
    kvx::PollCycle cycle(kvx::PollContext{driver, records, settings, state, model, summary, protocol, clock,
                                          "KvxDiagnostics"});

    for (int tick = 0; tick < 64 && (tick == 0 || !input.empty()); ++tick) {
        cycle.tick();
        if (model.summary.empty()) std::abort();  // a tick always leaves a summary
        if (state.online != (state.initResult == 0 ? 1 : 0)) std::abort();
        if (input.byte() % 8 == 0) cycle.meErrorSummaryDblClick();
    }
    protocol.close();
    if (real) driver.closeConnection();
    std::lock_guard lock(g_answerMutex);
    g_in = nullptr;
    return 0;
}
