#include "history/tick_record.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "report/fault_classes.h"

namespace kvx {

std::int64_t steadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char* linkCounterTitle(int index) {
    static const char* const titles[] = {"DMA read", "DMA write", "Timeout", "RX data", "RX com."};
    return index >= 0 && index < kLinkCounterCount ? titles[index] : "";
}

const char* linkCounterKey(int index) {
    static const char* const keys[] = {"dma_read", "dma_write", "timeout", "rx_data", "rx_com"};
    return index >= 0 && index < kLinkCounterCount ? keys[index] : "";
}

const std::array<AxisConditionBit, 4>& axisConditionBits() {
    static const std::array<AxisConditionBit, 4> bits{{{0x002, "emergency_out", "Emergency out"},
                                                       {0x200, "configuration_error", "Configuration error"},
                                                       {0x100, "data_handling_error", "Data handling error"},
                                                       {0x080, "max_position_error", "Maximum position error"}}};
    return bits;
}

namespace {

// The error number as the task row shows it; a text that is no number reads 0.
std::int32_t shownNumber(const DisplayModel& model, const std::string& name) {
    if (!model.has(name)) return 0;
    const std::string& text = model[name].text;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return end && *end == '\0' && !text.empty() ? static_cast<std::int32_t>(v) : 0;
}

}  // namespace

TickRecord captureTick(const PollState& state, const DriverRecords& records, const ErrorSummary& summary,
                       const DisplayModel& model, LocalTime time, std::int64_t monotonicMs) {
    TickRecord r;
    r.time = time;
    r.monotonicMs = monotonicMs;
    r.online = state.online != 0;
    r.initResult = state.initResult;
    r.faultMask = summary.faultMask();
    r.faults = summary.tickFaults();
    r.restartCount = state.restartCount;
    if (!r.online) return r;

    const StatusRecord& status = records.statusRecord;
    r.sampleTimeUs = state.sampleTimeUs;
    r.minCycleUs = status.minCycleTime();
    r.maxCycleUs = status.maxCycleTime();
    r.limits = timingLimits(state.sampleTimeUs);
    r.linkCounters = {status.dmaReadErrors(), status.dmaWriteErrors(), status.timeoutErrors(), status.rxDataErrors(),
                      status.rxComErrors()};
    const int axes = clampAxisCount(state.axisCount);
    for (int i = 0; i < axes; ++i) r.axisStateWords.push_back(records.axisTable[i].axisStateWord());
    for (int t = 0; t < 4; ++t) r.taskErrors[static_cast<std::size_t>(t)] = shownNumber(model, "edErrNum" + std::to_string(t));
    return r;
}

bool resettableByDoubleClick(std::uint32_t faultClass) {
    return (faultClass & (fault::Resettable | fault::ErrorRegister)) != 0;
}

std::string faultClassText(std::uint32_t faultClass) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%05X", faultClass);
    return buffer;
}

std::string faultClassName(std::uint32_t faultClass) {
    switch (faultClass) {
    case fault::EncoderError: return "Encoder error";
    case fault::InterfaceStatus: return "Interface status register";
    case fault::AsmTimeout: return "ASM timeout";
    case fault::AsmStatus: return "ASM status";
    case fault::EmergencyOut: return "Emergency out";
    case fault::ConfigurationError: return "Configuration error";
    case fault::DataHandlingError: return "Data handling error";
    case fault::MaxPositionError: return "Maximum position error";
    case fault::taskRuntimeError(0): return "Task 0 runtime error";
    case fault::taskRuntimeError(1): return "Task 1 runtime error";
    case fault::taskRuntimeError(2): return "Task 2 runtime error";
    case fault::taskRuntimeError(3): return "Task 3 runtime error";
    case fault::InternalDataHandling: return "Link error counters";
    case fault::Timing: return "Cycle timing";
    case fault::Offline: return "Offline";
    case fault::FirstTick: return "First tick";
    case fault::ErrorRegister: return "TAVOS error register";
    default: return "Unknown";
    }
}

}  // namespace kvx
