#include "metrics/metrics.h"

#include <bit>
#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/build_info.h"

#include "report/fault_classes.h"

namespace kvx {

namespace {

constexpr std::uint32_t kClasses[] = {
    fault::EncoderError,         fault::InterfaceStatus,   fault::AsmTimeout,        fault::AsmStatus,
    fault::EmergencyOut,         fault::ConfigurationError, fault::DataHandlingError, fault::MaxPositionError,
    fault::taskRuntimeError(0),  fault::taskRuntimeError(1), fault::taskRuntimeError(2), fault::taskRuntimeError(3),
    fault::InternalDataHandling, fault::Timing,            fault::Offline,           fault::ErrorRegister};

// A label as the text writes it: key="value".
struct Label {
    std::string_view key, value;
};

// Every sample carries the controller's name, so the series of a fleet's
// monitors stay apart wherever they are collected. The text is made after
// every tick of every instance, so it is written into one string, without a
// string of its own for each label.
class Exposition {
public:
    explicit Exposition(const std::string& controller) : controller_("{controller=\"") {
        appendEscaped(controller_, controller);
        controller_.append(1, '"');
        out_.reserve(16384);
    }
    void family(const char* name, const char* type, const char* help) {
        out_.append("# HELP ").append(name).append(1, ' ').append(help);
        out_.append("\n# TYPE ").append(name).append(1, ' ').append(type).append(1, '\n');
    }
    template <typename V>
    void sample(const char* name, std::initializer_list<Label> labels, V value) {
        out_.append(name).append(controller_);
        for (const Label& l : labels) {
            out_.append(1, ',').append(l.key).append("=\"");
            appendEscaped(out_, l.value);
            out_.append(1, '"');
        }
        out_.append("} ");
        append(value);
        out_.append(1, '\n');
    }
    std::string take() { return std::move(out_); }

private:
    // Label values are quoted; a backslash, a quote and a line break are
    // escaped. A byte that is not part of valid UTF-8 (a file name from a
    // Latin-1 system) becomes U+FFFD: the scraper refuses the whole text otherwise.
    static void appendEscaped(std::string& out, std::string_view value) {
        while (!value.empty()) {
            const char c = value.front();
            const std::size_t n = utf8Length(value);
            if (n == 0) out.append("\xEF\xBF\xBD");
            else if (c == '\\' || c == '"') out.append(1, '\\').append(1, c);
            else if (c == '\n') out.append("\\n");
            else out.append(value.substr(0, n));
            value.remove_prefix(n == 0 ? 1 : n);
        }
    }
    // The length of the well-formed UTF-8 sequence `s` starts with, 0 for none
    // (no overlong forms, no surrogates, nothing above U+10FFFF).
    static std::size_t utf8Length(std::string_view s) {
        const auto byte = [s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
        const unsigned char lead = byte(0);
        if (lead < 0x80) return 1;
        std::size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            n = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            n = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            n = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (n == 0 || s.size() < n || byte(1) < low || byte(1) > high) return 0;
        for (std::size_t i = 2; i < n; ++i)
            if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
        return n;
    }
    // A number in the shortest text that reads back as the same value; the
    // times, held in microseconds, are written in seconds, the base unit.
    template <typename N>
    void append(N number) {
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
        out_.append(buffer, result.ptr);
    }

    std::string controller_;  // {controller="..."
    std::string out_;
};

}  // namespace

const char* faultClassKey(std::uint32_t faultClass) {
    switch (faultClass) {
    case fault::EncoderError: return "encoder_error";
    case fault::InterfaceStatus: return "interface_status";
    case fault::AsmTimeout: return "asm_timeout";
    case fault::AsmStatus: return "asm_status";
    case fault::EmergencyOut: return "emergency_out";
    case fault::ConfigurationError: return "configuration_error";
    case fault::DataHandlingError: return "data_handling_error";
    case fault::MaxPositionError: return "max_position_error";
    case fault::taskRuntimeError(0): return "task0_runtime_error";
    case fault::taskRuntimeError(1): return "task1_runtime_error";
    case fault::taskRuntimeError(2): return "task2_runtime_error";
    case fault::taskRuntimeError(3): return "task3_runtime_error";
    case fault::InternalDataHandling: return "link_counters";
    case fault::Timing: return "timing";
    case fault::Offline: return "offline";
    case fault::FirstTick: return "first_tick";
    case fault::ErrorRegister: return "error_register";
    default: return "unknown";
    }
}

namespace {

void buildInfoFamily(Exposition& e) {
    e.family("kvx_build_info", "gauge", "The monitor's version and the revision it was built from; always 1.");
    e.sample("kvx_build_info", {{"version", buildVersion()}, {"revision", buildRevision()}}, 1);
}

void upFamily(Exposition& e, bool up) {
    e.family("kvx_up", "gauge",
             "1 once the monitor's start reached the controller; 0 while it cannot reach it and tries again.");
    e.sample("kvx_up", {}, up ? 1 : 0);
}

}  // namespace

std::string prometheusStartPendingText(const std::string& controller, long attempts) {
    Exposition e(controller);
    buildInfoFamily(e);
    upFamily(e, false);
    e.family("kvx_start_attempts_total", "counter", "Attempts to start on a controller that could not be reached.");
    e.sample("kvx_start_attempts_total", {}, attempts);
    e.family("kvx_ticks_total", "counter", "Poll ticks run since the monitor started.");
    e.sample("kvx_ticks_total", {}, 0);
    e.family("kvx_online", "gauge", "1 when the last tick's system initialisation succeeded.");
    e.sample("kvx_online", {}, 0);
    return e.take();
}

std::string outputDroppedText(const std::string& controller, std::uint64_t stdoutLines, std::uint64_t stderrLines) {
    Exposition e(controller);
    e.family("kvx_output_lines_dropped_total", "counter",
             "Lines dropped because standard output or error did not keep up with the ticks.");
    e.sample("kvx_output_lines_dropped_total", {{"stream", "stdout"}}, stdoutLines);
    e.sample("kvx_output_lines_dropped_total", {{"stream", "stderr"}}, stderrLines);
    return e.take();
}

std::string prometheusText(const RunHistory& history, const std::string& controller) {
    Exposition e(controller);
    buildInfoFamily(e);
    upFamily(e, true);
    const std::optional<TickRecord>& last = history.lastTick();
    const FaultHistory& faults = history.faults();

    e.family("kvx_ticks_total", "counter", "Poll ticks run since the monitor started.");
    e.sample("kvx_ticks_total", {}, history.tickCount());
    if (!last) return e.take();

    // From the first tick on, every class at 0 until it comes up: increase()
    // sees a raise only in a series it has seen before.
    e.family("kvx_fault_raised_total", "counter", "Times the fault class came up (raised in a tick, not in the one before).");
    for (std::uint32_t cls : kClasses)
        e.sample("kvx_fault_raised_total", {{"class", faultClassKey(cls)}},
                 history.raisedCount(std::countr_zero(cls)));
    if (!history.axisRaisedCounts().empty()) {
        e.family("kvx_axis_condition_raised_total", "counter", "Times the axis condition came up.");
        for (std::size_t a = 0; a < history.axisRaisedCounts().size(); ++a)
            for (std::size_t c = 0; c < axisConditionBits().size(); ++c)
                e.sample("kvx_axis_condition_raised_total",
                         {{"axis", std::to_string(a + 1)}, {"condition", axisConditionBits()[c].key}},
                         history.axisRaisedCounts()[a][c]);
    }

    // A scraper tells a stuck monitor from a healthy one by this time, not by
    // values that stay as the last tick left them.
    e.family("kvx_last_tick_timestamp_seconds", "gauge", "Unix time at which the last poll tick completed.");
    e.sample("kvx_last_tick_timestamp_seconds", {}, last->unixSeconds);

    e.family("kvx_online", "gauge", "1 when the last tick's system initialisation succeeded.");
    e.sample("kvx_online", {}, last->online ? 1 : 0);
    e.family("kvx_init_result", "gauge", "Result of the last tick's system initialisation (0 = online).");
    e.sample("kvx_init_result", {}, last->initResult);
    e.family("kvx_fault_mask", "gauge", "Fault classes raised in the last tick, as one bit set.");
    e.sample("kvx_fault_mask", {}, last->faultMask);
    e.family("kvx_fault_class", "gauge", "1 when the fault class was raised in the last tick.");
    for (std::uint32_t cls : kClasses)
        e.sample("kvx_fault_class", {{"class", faultClassKey(cls)}, {"bit", faultClassText(cls)}},
                 (last->faultMask & cls) ? 1 : 0);
    e.family("kvx_fault_lines", "gauge", "Fault lines in the last tick's error summary.");
    e.sample("kvx_fault_lines", {}, last->faults.size());

    e.family("kvx_restarts_total", "counter", "Controller restarts detected since the monitor started.");
    e.sample("kvx_restarts_total", {}, faults.restartCount());
    e.family("kvx_offline_periods_total", "counter", "Periods in which the controller was offline.");
    e.sample("kvx_offline_periods_total", {}, faults.offlinePeriodCount());
    e.family("kvx_fault_history_entries", "gauge", "Different fault lines seen since the monitor started.");
    e.sample("kvx_fault_history_entries", {}, faults.entries().size());
    e.family("kvx_fault_history_unacknowledged", "gauge", "Fault lines that came up and are not acknowledged.");
    e.sample("kvx_fault_history_unacknowledged", {}, faults.markedCount());

    if (last->online) {
        e.family("kvx_axis_condition", "gauge", "1 when the axis state word shows the condition.");
        for (std::size_t a = 0; a < last->axisStateWords.size(); ++a)
            for (const AxisConditionBit& c : axisConditionBits())
                e.sample("kvx_axis_condition", {{"axis", std::to_string(a + 1)}, {"condition", c.key}},
                         (last->axisStateWords[a] & c.bit) ? 1 : 0);
        e.family("kvx_task_error", "gauge", "Runtime error number of the task (0 = none).");
        for (int t = 0; t < 4; ++t)
            e.sample("kvx_task_error", {{"task", std::to_string(t)}}, last->taskErrors[static_cast<std::size_t>(t)]);
        e.family("kvx_link_errors", "gauge", "Link error counter as the controller reports it.");
        for (int i = 0; i < kLinkCounterCount; ++i)
            e.sample("kvx_link_errors", {{"counter", linkCounterKey(i)}}, last->linkCounters[i]);
        e.family("kvx_cycle_time_min_seconds", "gauge", "Shortest cycle time the controller reports.");
        e.sample("kvx_cycle_time_min_seconds", {}, last->minCycleUs / 1e6);
        e.family("kvx_cycle_time_max_seconds", "gauge", "Longest cycle time the controller reports.");
        e.sample("kvx_cycle_time_max_seconds", {}, last->maxCycleUs / 1e6);
        e.family("kvx_cycle_time_lower_limit_seconds", "gauge", "Lower limit of the cycle-time band.");
        e.sample("kvx_cycle_time_lower_limit_seconds", {}, last->limits.lower / 1e6);
        e.family("kvx_cycle_time_upper_limit_seconds", "gauge", "Upper limit of the cycle-time band.");
        e.sample("kvx_cycle_time_upper_limit_seconds", {}, last->limits.upper / 1e6);
        e.family("kvx_sample_time_seconds", "gauge", "Axis sample time of the controller.");
        e.sample("kvx_sample_time_seconds", {}, last->sampleTimeUs / 1e6);
    }
    if (const auto& worst = history.trends().worst()) {
        e.family("kvx_cycle_time_worst_seconds", "gauge", "Longest cycle time seen since the monitor started.");
        e.sample("kvx_cycle_time_worst_seconds", {}, worst->maxCycleUs / 1e6);
    }
    return e.take();
}

}  // namespace kvx
