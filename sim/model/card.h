// The state of one simulated controller card: what the driver operations
// read and what faults, counters and the timeline change.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvxsim {

using SteadyClock = std::chrono::steady_clock;

inline constexpr int kMaxAxes = 18;
inline constexpr int kTaskCount = 4;

// Bits of the axis state word that the monitor shows as faults.
enum AxisStateBit : std::uint32_t {
    kAsmTimeoutBit = 0x1,  // first record of an ASM on the KVX-4000
    kEmergencyOutBit = 0x2,
    kMaxPositionErrorBit = 0x80,
    kDataHandlingErrorBit = 0x100,
    kConfigurationErrorBit = 0x200,
};

// One axis record as the driver reports it. On the KVX-4000, module k keeps
// its status and check sum in the record of axis index 2k.
struct AxisState {
    std::uint32_t stateWord = 0;
    double maxPositionErrorLimit = 10.0;  // 0.0 = no limit defined
    std::uint32_t statusWord = 0x10;      // ASM status: 0x10 = in order
    std::uint32_t epromCheckSum = 0;
    bool encoderError = false;
};

struct TaskState {
    std::string fileName;
    std::uint32_t state = 0;  // bit 0 running, bit 1 stepping
    std::int32_t errorNumber = 0;
    std::int32_t errorLine = 0;
};

struct OptionValue {
    bool readable = true;
    std::int32_t value = 0;
};

// The five link error counters of the status record, in record order.
enum LinkCounter { kDmaRead, kDmaWrite, kTimeout, kRxData, kRxCom, kLinkCounterCount };

struct CardState {
    std::int32_t boardType = 4;
    std::int32_t initResult = 0;  // what the system initialisation answers
    std::string tavosName = "TAVOS";
    std::int32_t osVersion = 253048;  // TAVOS version x 1000
    std::int32_t pldRevision = 3;
    std::int32_t sampleTimeUs = 1280;
    std::uint32_t miniportVersion = 0x51234;
    std::uint32_t errorRegister = 0;
    std::uint32_t interfaceStatus = 3;  // 3 = in order
    std::map<int, OptionValue> options{
        {62, {true, 0x05}}, {63, {true, -1}}, {122, {true, 0x12}}, {123, {true, 0x34}}};
    std::map<std::string, std::string> environment{{"SerialNumber", "100001"},
                                                   {"SerialNumberOXT", "200001"}};
    int axisCount = 0;
    std::array<AxisState, kMaxAxes> axes{};
    std::array<TaskState, kTaskCount> tasks{};
    std::uint32_t minCycleTime = 1000;
    std::uint32_t maxCycleTime = 1500;
    std::array<std::uint32_t, kLinkCounterCount> linkCounters{};
    std::vector<std::int32_t> linkOpCodes;  // last op codes sent, newest last

    // The run counter grows by one per millisecond while the controller runs
    // (initialisation answers 0 or 20) and starts low again on a restart.
    std::uint32_t runCounterStart = 1;
    std::uint32_t runCounterAt(SteadyClock::time_point now) const;
    void setRunCounter(std::uint32_t value, SteadyClock::time_point now);
    void restart(SteadyClock::time_point now);
    // Changes the initialisation answer; the run counter stops while the
    // controller does not run and resumes from where it stood.
    void setInitResult(std::int32_t code, SteadyClock::time_point now);
    bool running() const { return initResult == 0 || initResult == 20; }

private:
    std::uint32_t runCounterBase_ = 1;
    SteadyClock::time_point runningSince_{};
};

}  // namespace kvxsim
