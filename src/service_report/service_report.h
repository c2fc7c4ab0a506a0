// The service report: one self-contained file, in HTML and in plain text,
// that a support engineer reads without the program. It holds the identity
// and versions, the board details, the task rows, the active faults and the
// fault history with its events, the link counters and cycle-time trends,
// the settings in force and the last blocks of the diagnostic protocol.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "display/display_model.h"
#include "history/run_history.h"
#include "settings/settings_values.h"

namespace kvx {

// A replay runs on copies of the recorded settings in a folder of its own;
// the report names the recorded run's files instead.
struct RecordedRunFiles {
    std::string settingsFile;
    std::string protocolFile;
    std::string divergence;  // how the replay strayed from the recording, or ""
};

struct ReportSources {
    const DisplayModel& model;
    const SettingsValues& settings;
    const RunHistory& history;
    LocalTime generatedAt;
    std::string programFileName;
    std::size_t protocolRecords = 10;  // how many of the protocol's last records to include
    std::optional<RecordedRunFiles> recordedRun = std::nullopt;  // set for a report on a replay
};

// A caption and its value as the window shows them.
struct ReportRow {
    std::string caption;
    std::string value;
    bool fault = false;  // shown in the fault colour
};

// The labelled values of one group of the window, in window order; rows
// whose caption and value are both empty are left out.
std::vector<ReportRow> shownValues(const DisplayModel& model, Group group);
// The settings in force, with the names the settings file uses; of a replay,
// with the recorded run's settings and protocol files.
std::vector<ReportRow> settingsRows(const SettingsValues& settings, const RecordedRunFiles* recordedRun = nullptr);
// The last `count` records of the protocol file: runs of non-empty lines.
// A missing file gives none.
std::vector<std::vector<std::string>> lastProtocolRecords(const std::string& fileName, std::size_t count);

std::string reportHtml(const ReportSources& sources);
std::string reportText(const ReportSources& sources);

// Writes the HTML to `htmlPath` and the text beside it (extension ".txt").
// On failure, `error` says which file could not be written.
bool writeServiceReport(const ReportSources& sources, const std::string& htmlPath, std::string* error = nullptr);
// "report.html" -> "report.txt"; a name without extension gets ".txt" added.
std::string textReportPath(const std::string& htmlPath);

std::string htmlEscape(const std::string& text);

}  // namespace kvx
