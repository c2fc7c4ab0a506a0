#include "app/console_frontend.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>

#include "metrics/metrics_endpoint.h"
#include "metrics/metrics_plugin.h"
#include "app/console_output.h"
#include "app/monitor.h"
#include "app/recorded_run.h"
#include "app/stop_signals.h"
#include "display/staleness.h"
#include "metrics/metrics.h"
#include "platform/log.h"
#include "service_report/service_report.h"

namespace kvx {

namespace {

const char* roleName(ColourRole role) {
    switch (role) {
    case ColourRole::Normal: return "normal";
    case ColourRole::Fault: return "fault";
    case ColourRole::Plain: return "plain";
    }
    return "plain";
}

// Waits up to `ms` for one of the stop signals (blocked beforehand); true when one came.
bool waitForStopSignal(const sigset_t& signals, long ms) {
    if (ms < 0) ms = 0;
    timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    for (;;) {
        int sig = sigtimedwait(&signals, nullptr, &timeout);
        if (sig > 0) return true;
        if (sig < 0 && errno == EINTR) continue;
        return false;
    }
}

// Writes `text` to standard output whole, at the reader's pace, as a replay
// does. A reader that stops reading fills the pipe, and a plain write would
// then wait for it for good with the stop signals held back; here a stop
// signal that comes meanwhile (blocked, so pending) ends the write. False
// when the text could not be written whole.
bool writeOutput(const std::string& text, const sigset_t& stopSignals) {
    std::size_t done = 0;
    while (done < text.size()) {
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        const int ready = ::poll(&out, 1, 200);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) {
            sigset_t pending;
            sigpending(&pending);
            for (int sig : {SIGINT, SIGTERM, SIGHUP})
                if (sigismember(&stopSignals, sig) && sigismember(&pending, sig)) return false;
            continue;
        }
        if (out.revents & (POLLERR | POLLNVAL)) return false;
        // At most PIPE_BUF a write: a pipe that polled writable takes that much without waiting.
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, std::min<std::size_t>(text.size() - done, PIPE_BUF));
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    return true;
}

class ConsolePrinter {
public:
    // Writes a tick's lines; false once standard output is gone.
    using Sink = std::function<bool(const std::string&)>;
    // `now` is the monotonic time the age of a line's data is measured against.
    ConsolePrinter(const DisplayModel& model, bool json, MonotonicClock now, Sink sink)
        : model_(model), json_(json), now_(std::move(now)), sink_(std::move(sink)) {}

    // False once standard output is gone (a reader that went away, or one
    // that stopped reading while a stop signal came).
    bool afterTick(long tick) {
        std::string out;
        if (json_) {
            out = modelJson(model_, tick, dataAgeMs(model_, now_())) + '\n';
        } else {
            if (model_.caption != caption_) {
                caption_ = model_.caption;
                out += "== " + caption_ + '\n';
            }
            if (model_.summary != summary_) {
                summary_ = model_.summary;
                out += "-- tick " + std::to_string(tick) + ":\n";
                for (const auto& line : summary_) out += "   " + line + '\n';
            }
        }
        return out.empty() || sink_(out);
    }

private:
    const DisplayModel& model_;
    bool json_;
    MonotonicClock now_;
    Sink sink_;
    std::string caption_;
    std::vector<std::string> summary_;
};

// Writes the service report (and its text copy) and says where, or why not.
bool writeReportAndSay(const ReportSources& sources, const std::string& file) {
    std::string error;
    if (!writeServiceReport(sources, file, &error)) {
        log(LogLevel::Error, error);
        return false;
    }
    Log(LogLevel::Info) << "service report written to " << file << " and " << textReportPath(file);
    return true;
}

// The waits between attempts to start on a controller that cannot be reached.
constexpr long kFirstStartRetryMs = 1000;
constexpr long kLastStartRetryMs = 60000;

std::string settingsUrl(const Monitor& monitor) {
    return monitor.settings().remoteUrl.empty() ? std::string("the web services") : monitor.settings().remoteUrl;
}

}  // namespace

void ConsoleDialogs::message(const std::string& text, const std::string& title) {
    log(err_, LogLevel::Error, title + ": " + text, false);
}

std::optional<std::string> ConsoleDialogs::openFile(const std::string&, int) {
    log(err_, LogLevel::Error, "No file dialog without a window: cancelled.", false);
    return std::nullopt;
}

std::string modelJson(const DisplayModel& model, long tick, std::optional<std::int64_t> dataAgeMs) {
    nlohmann::ordered_json controls = nlohmann::ordered_json::object();
    for (const Control& c : model.controls()) {
        nlohmann::ordered_json j;
        j["text"] = c.text;
        j["role"] = roleName(c.role);
        if (c.kind == ControlKind::CheckBox) j["checked"] = c.checked;
        if (c.kind == ControlKind::ComboBox) {
            j["items"] = c.items;
            j["selectedIndex"] = c.selectedIndex;
        }
        j["visible"] = c.visible;
        controls[c.name] = std::move(j);
    }
    nlohmann::ordered_json out;
    out["tick"] = tick;
    // How old the data of this line is, so a reader tells stale from current.
    out["dataAgeMs"] = dataAgeMs ? nlohmann::ordered_json(*dataAgeMs) : nlohmann::ordered_json(nullptr);
    out["caption"] = model.caption;
    out["summary"] = model.summary;
    out["warnings"] = model.warnings;
    out["stayOnTop"] = model.stayOnTop;
    out["controls"] = std::move(controls);
    // Texts come from the controller: never let a stray byte break the line.
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

// How long the end of a run waits for a slow reader to take what is queued.
constexpr long kEndDrainMs = 2000;

int runLive(const ConsoleOptions& options, ConsoleOutput& output) {
    DisplayModel model;
    model.tickIntervalMs = options.intervalMs;
    ConsoleDialogs dialogs(std::cerr);
    MonitorOptions monitorOptions;
    monitorOptions.arguments = options.arguments;
    // An instance that serves metrics is a service: a controller it cannot
    // reach at start is a controller offline, not a monitor that is down.
    monitorOptions.retryUnreachableStart = options.metricsPort.has_value();
    // The metrics endpoint first: an address or web configuration that
    // cannot be used ends the run before the start writes anything. The
    // instance's name is its settings file's, without folder and extension.
    const std::string controller = std::filesystem::path(settingsFileSwitch(options.arguments)
                                                             .value_or(monitorOptions.locations.settingsFile))
                                       .stem()
                                       .string();
    MetricsEndpoint metrics;
    if (options.metricsPort) {
        std::string error;
        const std::optional<int> port = metrics.start(options.metricsHost, *options.metricsPort, options.webConfigFile, error);
        if (!port) {
            log(LogLevel::Error, error);
            return 1;
        }
        const bool bracketed = options.metricsHost.find(':') != std::string::npos;
        const std::string address = (bracketed ? "[" + options.metricsHost + "]" : options.metricsHost) + ":" +
                                    std::to_string(*port) + "/metrics";
        // The start line claims only what is served.
        const unsigned features = metrics.features();
        const bool tls = features & KVX_METRICS_TLS, users = features & KVX_METRICS_USERS;
        {
            Log line(LogLevel::Info);
            line << "metrics on " << (tls ? "https://" : "http://") << address;
            if (tls || users)
                line << " (" << (tls && users ? "TLS and users" : tls ? "TLS" : "users") << " as "
                     << *options.webConfigFile << " sets them)";
        }
        if (users && !tls)
            Log(LogLevel::Warn) << "warning: " << *options.webConfigFile
                                << " names users but no TLS: their passwords travel in clear text";
    }
    std::unique_ptr<LiveRecording> recording;
    if (options.record) {
        std::string error;
        recording = LiveRecording::start(*options.record, monitorOptions, systemClock(), dialogs, error);
        if (!recording) {
            log(LogLevel::Error, error);
            return 1;
        }
        recording->wire(monitorOptions);
    }
    const auto owned = std::make_unique<Monitor>(
        model, recording ? recording->dialogs() : dialogs, recording ? recording->clock() : systemClock(), monitorOptions);
    Monitor& monitor = *owned;
    const auto start = [&] {
        RecordedSegment segment(recording.get(), recording::SegmentKind::Start);
        return monitor.formCreate();
    };
    // Until the first attempt has returned (a deadline, on a link that is
    // down) a scrape already sees the instance and its process.
    const auto dropped = [&output, &controller] {
        return outputDroppedText(controller, output.droppedLines(false), output.droppedLines(true));
    };
    metrics.publish(prometheusStartPendingText(controller, 0) + dropped());
    bool started = start();
    // The start again, 1 s after a failed attempt and twice as long after
    // each one that follows, up to a minute; the metrics say meanwhile that
    // the controller is offline. A stop signal ends the wait: nothing was
    // started, so nothing is saved.
    long attempts = 1;
    for (long waitMs = kFirstStartRetryMs;
         !started && monitorOptions.retryUnreachableStart && monitor.startFailure() == StartFailure::Unreachable;
         waitMs = std::min(waitMs * 2, kLastStartRetryMs)) {
        metrics.publish(prometheusStartPendingText(controller, attempts) + dropped());
        Log(LogLevel::Warn) << "WebServices Access failed! (" << settingsUrl(monitor) << " cannot be reached); "
                            << "trying again in " << waitMs / 1000 << " s";
        if (output.waitForStop(waitMs)) {
            metrics.stop();
            return 0;
        }
        ++attempts;
        started = start();
        if (started) Log(LogLevel::Info) << "started after " << attempts << " attempts";
    }
    if (!started) {
        if (monitor.startFailure() == StartFailure::Unusable)
            Log(LogLevel::Error) << "the driver library cannot use " << settingsUrl(monitor) << " (error "
                                 << monitor.openError() << "); no retry would change that";
        return 1;
    }

    if (metrics.running()) {
        metrics.publish(prometheusText(monitor.history(), controller) + dropped());
        metrics.markReady();
    }

    ConsolePrinter printer(model, options.json, steadyMilliseconds,
                           [&output](const std::string& text) { return output.print(text); });
    long tick = 1;
    bool outputOpen = printer.afterTick(tick);

    // Hundreds of instances on one host tick each at its own phase. Letting
    // the kernel move a tick's wake-up by up to 2 % of the interval lets it
    // wake several instances at once, which costs the host far less than
    // waking each on its own; a technician sees no difference.
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(options.intervalMs) * 20000UL);

    using Steady = std::chrono::steady_clock;
    auto next = Steady::now() + std::chrono::milliseconds(options.intervalMs);
    while (outputOpen && (!options.ticks || tick < *options.ticks)) {
        const long wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Steady::now()).count();
        if (output.waitForStop(wait)) break;
        // A tick that overran its interval delays the next one; ticks never pile up.
        next = std::max(next + std::chrono::milliseconds(options.intervalMs), Steady::now());
        if (!monitor.timerEnabled()) break;
        {
            RecordedSegment segment(recording.get(), recording::SegmentKind::Tick);
            monitor.timerTimer();
        }
        if (metrics.running()) metrics.publish(prometheusText(monitor.history(), controller) + dropped());
        outputOpen = printer.afterTick(++tick);
    }
    metrics.stop();

    int result = 0;
    if (options.reportFile) {
        ReportSources sources{model, monitor.settings(), monitor.history(), systemClock().now(),
                              monitor.programFileName()};
        if (!writeReportAndSay(sources, *options.reportFile)) result = 1;
    }
    {
        RecordedSegment segment(recording.get(), recording::SegmentKind::Close);
        monitor.formClose();
    }
    return result;
}

}  // namespace

int runConsole(const ConsoleOptions& options) {
    if (options.replay) return runConsoleReplay(options);
    const sigset_t stopSignals = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader that goes away (`| head -n 1`) ends the run like SIGTERM: the
    // failed write is noticed instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    // A tick never waits for a reader: a full standard output or error drops
    // lines instead (console_output.h).
    ConsoleOutput output(stopSignals);
    const int result = runLive(options, output);
    output.drain(kEndDrainMs);
    return result;
}

int runConsoleReplay(const ConsoleOptions& options) {
    const sigset_t stopSignals = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    auto replay = ReplaySession::open(options.replay->file, options.replay->protocolFile, std::cerr, error);
    if (!replay) {
        log(LogLevel::Error, error);
        return 1;
    }
    if (!replay->restart()) {
        log(LogLevel::Error, replay->problem().empty() ? "the recorded start failed" : replay->problem());
        return 1;
    }
    // A replayed line is as old as it was when it was recorded: at its tick.
    ConsolePrinter printer(replay->model(), options.json,
                           [&replay] { return replay->model().tickCompletedMs.value_or(0); },
                           [&stopSignals](const std::string& text) { return writeOutput(text, stopSignals); });
    signal(SIGPIPE, SIG_IGN);  // a reader that goes away ends the replay, as in a live run
    bool outputOpen = printer.afterTick(replay->ticks());

    // The recorded pace, sped up; without a speed as fast as it goes.
    std::int64_t lastEpochMs = replay->epochMs();
    while (outputOpen) {
        if (options.ticks && replay->ticks() >= *options.ticks) break;
        const ReplaySession::Step step = replay->step();
        if (step == ReplaySession::Step::End || step == ReplaySession::Step::Close) break;
        if (step != ReplaySession::Step::Tick) continue;
        if (options.replay->speed > 0) {
            const long wait = static_cast<long>((replay->epochMs() - lastEpochMs) / options.replay->speed);
            if (waitForStopSignal(stopSignals, wait)) break;
        } else if (waitForStopSignal(stopSignals, 0)) {
            break;
        }
        lastEpochMs = replay->epochMs();
        outputOpen = printer.afterTick(replay->ticks());
    }

    int result = 0;
    if (!replay->problem().empty()) {
        log(replay->damaged() ? LogLevel::Error : LogLevel::Warn, replay->problem());
        if (replay->damaged()) result = 1;
    }
    if (const std::string strayed = replay->divergence(); !strayed.empty()) log(LogLevel::Warn, strayed);
    if (options.reportFile) {
        ReportSources sources{replay->model(), replay->monitor().settings(), replay->monitor().history(),
                              replay->clock().now(), replay->monitor().programFileName()};
        sources.recordedRun = RecordedRunFiles{replay->recordedSettingsFile(), replay->recordedProtocolFile(), replay->divergence()};
        if (!writeReportAndSay(sources, *options.reportFile)) result = 1;
    }
    return result;
}

}  // namespace kvx
