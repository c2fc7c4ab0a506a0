// A run with its flight recorder, and the replay of a recording.
//
// LiveRecording wires the recorder into a live run: the driver facade's tap,
// the clock, the file dialog and the monitor's monotonic clock pass it, and
// the front end marks the start, every tick, every user action and the close
// as segments. ReplaySession runs a monitor on a recording instead: the same
// monitor with a replay behind the driver facade, the recorded clock and the
// recorded settings in a private folder, so nothing of the user's settings or
// protocol is touched.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "app/monitor.h"
#include "app/recording_options.h"
#include "recording/flight_recorder.h"
#include "recording/recording_reader.h"
#include "recording/recording_taps.h"
#include "recording/replay_driver.h"

namespace kvx {

class LiveRecording {
public:
    // Starts the recording of a run with these monitor options; nullptr with
    // `error` set when the file cannot be created.
    static std::unique_ptr<LiveRecording> start(const RecordOptions& options, const MonitorOptions& monitorOptions,
                                                Clock& clock, Dialogs& dialogs, std::string& error);

    // The monitor's options with the recorder wired in.
    void wire(MonitorOptions& options);
    Clock& clock() { return clock_; }
    Dialogs& dialogs() { return dialogs_; }
    recording::FlightRecorder& recorder() { return *recorder_; }

private:
    LiveRecording(std::unique_ptr<recording::FlightRecorder> recorder, Clock& clock, Dialogs& dialogs);

    std::unique_ptr<recording::FlightRecorder> recorder_;
    recording::RecordingClock clock_;
    recording::RecordingDialogs dialogs_;
};

// Marks one segment of a live run; does nothing without a recording.
class RecordedSegment {
public:
    RecordedSegment(LiveRecording* recording, recording::SegmentKind kind) : recording_(recording) {
        if (recording_) recording_->recorder().beginSegment(kind);
    }
    ~RecordedSegment() {
        if (recording_) recording_->recorder().endSegment();
    }
    RecordedSegment(const RecordedSegment&) = delete;
    RecordedSegment& operator=(const RecordedSegment&) = delete;

private:
    LiveRecording* recording_;
};

class ReplaySession {
public:
    // Opens the recording and lays out its settings in a private folder;
    // nullptr with `error` set when the file is no readable recording or the
    // protocol file exists already. Messages of the replayed run go to `messages`.
    static std::unique_ptr<ReplaySession> open(const std::string& file, const std::optional<std::string>& protocolFile,
                                               std::ostream& messages, std::string& error);
    ~ReplaySession();

    // Starts the recorded run from its beginning on a fresh monitor (the
    // model stays the same object): the start sequence and its first tick.
    // False when the recording holds no start or the start failed as recorded.
    bool restart();

    enum class Step { Tick, Action, Close, End };
    // Runs the next segment.
    Step step();

    DisplayModel& model() { return model_; }
    Monitor& monitor() { return *monitor_; }
    // The clock that plays the recorded time (for a report made during the replay).
    Clock& clock() { return clock_; }
    const recording::RunInfo& info() const { return reader_.info(); }
    // The recorded run's own settings and protocol files (the replay runs on copies).
    const std::string& recordedSettingsFile() const { return recordedSettingsFile_; }
    const std::string& recordedProtocolFile() const { return recordedProtocolFile_; }

    // Of the segment last run.
    std::int64_t epochMs() const { return driver_.segmentEpochMs(); }
    LocalTime localTime() const { return driver_.segmentLocalTime(); }
    long ticks() const { return ticks_; }  // the start's tick counts as the first
    // The last tick brought up a fault class that the tick before did not have.
    bool newFault() const { return newFault_; }
    bool closed() const { return closed_; }
    // Why the replay ended before the recording's end, or "".
    const std::string& problem() const { return reader_.problem(); }
    bool damaged() const { return damaged_; }
    // How the replay strayed from the recording, or "": calls the recording
    // could not answer (a newer program on an old recording asks otherwise).
    std::string divergence() const;

private:
    ReplaySession(std::ostream& messages);
    bool layOutSettings(const std::optional<std::string>& protocolFile, std::string& error);
    Step advance();
    void noteUnmatched();

    std::ostream& messages_;
    recording::RecordingReader reader_;
    recording::ReplayDriver driver_;
    recording::ReplayClock clock_{driver_};
    recording::ReplayDialogs dialogs_{driver_, messages_};
    recording::Segment segment_;
    DisplayModel model_;
    MonitorOptions options_;
    std::unique_ptr<Monitor> monitor_;
    std::string folder_;
    std::string protocolFile_;
    std::string recordedSettingsFile_, recordedProtocolFile_;
    long ticks_ = 0;
    std::uint64_t unmatchedBefore_ = 0;  // the driver's count when this run of the replay began
    long firstUnmatchedTick_ = 0;
    bool closed_ = false;
    bool damaged_ = false;
    bool newFault_ = false;
};

// The recorded local time as the protocol writes it: "2024/03/05 - 08:15:02".
std::string replayTimeText(const LocalTime& t);

}  // namespace kvx
