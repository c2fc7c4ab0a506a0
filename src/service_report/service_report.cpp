#include "service_report/service_report.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <type_traits>
#include <utility>

#include "platform/safe_file.h"
#include "report/protocol_file.h"

namespace kvx {

namespace {

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == ':' || s.back() == '\t')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    return s;
}

// The control that holds the value of a caption label without a value label.
const char* valueControlOf(const std::string& caption) { return caption == "Label2" ? "cbCardNr" : nullptr; }

// What a control shows: a combo box its selected item, else its text.
std::string shownText(const Control& c) {
    if (c.kind == ControlKind::ComboBox && c.selectedIndex >= 0 && c.selectedIndex < static_cast<int>(c.items.size()))
        return c.items[static_cast<std::size_t>(c.selectedIndex)];
    return c.text;
}

// Splits "name: value" and "list at ASM# 1 2" into caption and value when
// the value label has nothing to show ("ErrorRegister: n.a." beside "---");
// strips the " - " that joins labels of one
// window line.
void splitCaption(const std::string& text, ReportRow& row) {
    std::string caption = text;
    if (row.value.empty() || row.value == "---") {
        for (const char* mark : {": ", "# "}) {
            const auto at = caption.find(mark);
            if (at == std::string::npos) continue;
            const std::string rest = trimmed(caption.substr(at + 2));
            if (rest.empty()) continue;
            row.value = rest;
            caption = caption.substr(0, at + 1);
            break;
        }
    }
    caption = trimmed(caption);
    if (caption.rfind("- ", 0) == 0) caption = trimmed(caption.substr(2));
    row.caption = caption;
}

std::string yesNo(bool b) { return b ? "yes" : "no"; }

std::string timeText(const LocalTime& t) { return formatTimestamp(t); }

// "2 min 5 s", "1 h 0 min 3 s"
std::string durationText(std::int64_t ms) {
    std::int64_t s = ms / 1000;
    std::ostringstream out;
    if (s >= 3600) out << s / 3600 << " h " << (s % 3600) / 60 << " min " << s % 60 << " s";
    else if (s >= 60) out << s / 60 << " min " << s % 60 << " s";
    else out << s << " s";
    return out.str();
}

std::string eventKindText(EventKind kind) { return kind == EventKind::Restart ? "Controller restart" : "Offline"; }

std::string eventDetail(const HistoryEvent& e) {
    if (e.kind == EventKind::Restart) return "run counter went back";
    std::string d = "initialisation result " + std::to_string(e.initResult);
    if (e.end) d += ", back online " + timeText(*e.end) + " after " + durationText(*e.endMs - e.startMs);
    else d += ", still offline";
    return d;
}

std::string entryState(const FaultEntry& e) {
    std::string s = e.active ? "active" : "gone";
    if (e.marked) s += ", not acknowledged";
    return s;
}

std::string resetBy(const FaultEntry& e) { return e.resettable() ? "double-click" : "controller"; }

// The local time of the first sample in each minute that saw an increase.
struct MinuteRow {
    LocalTime time;
    std::array<std::uint64_t, kLinkCounterCount> increase;
};

std::vector<MinuteRow> minutesWithIncreases(const TrendRecorder& trends) {
    std::vector<MinuteRow> rows;
    const auto minutes = trends.perMinute();
    for (const MinuteIncrease& m : minutes) {
        bool any = std::any_of(m.increase.begin(), m.increase.end(), [](std::uint64_t v) { return v != 0; });
        if (!any) continue;
        LocalTime t;
        for (const TrendSample& s : trends.samples())
            if (s.ms >= m.startMs) { t = s.time; break; }
        rows.push_back({t, m.increase});
    }
    return rows;
}

// The run's worst cycle time, labelled where it lies on the chart, or named
// at the chart's top when it is older than the chart's hour.
template <typename X, typename Y>
std::string worstMark(const TrendRecorder& trends, std::int64_t t0, std::int64_t t1, X x, Y y, int top) {
    const auto& worst = trends.worst();
    if (!worst) return {};
    std::ostringstream mark;
    mark.setf(std::ios::fixed);
    mark.precision(1);
    const std::string value = std::to_string(worst->maxCycleUs) + " µs";
    if (worst->ms < t0 || worst->ms > t1) {
        mark << "<text class=\"worst\" x=\"" << x(t1) - 4 << "\" y=\"" << top + 12
             << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#c00000\">worst of the run " << value << " at "
             << timeText(worst->time) << ", before this chart</text>\n";
        return mark.str();
    }
    const double px = x(worst->ms), py = y(static_cast<double>(worst->maxCycleUs));
    // Above the peak, reading leftwards in the right half, so it stays on the
    // chart and off the line.
    const bool leftwards = px > (x(t0) + x(t1)) / 2;
    mark << "<circle class=\"worst\" cx=\"" << px << "\" cy=\"" << py << "\" r=\"3\" fill=\"#c00000\"/>\n"
         << "<text class=\"worst\" x=\"" << px + (leftwards ? -4 : 4) << "\" y=\"" << py - 5
         << "\" font-size=\"11\" text-anchor=\"" << (leftwards ? "end" : "start") << "\" fill=\"#c00000\">worst "
         << value << "</text>\n";
    return mark.str();
}

// The cycle times of the window as an inline SVG: the band of the latest
// sample time shaded, the longest cycle time red, the shortest blue.
std::string cycleTimeSvg(const TrendRecorder& trends) {
    const auto& samples = trends.samples();
    if (samples.empty()) return "<p>No cycle times recorded while online.</p>\n";
    const int width = 720, height = 220, left = 56, right = 10, top = 10, bottom = 24;
    // From the first sample on, as the trends window shows it: a short run
    // spreads over the whole width instead of crowding at the right edge.
    const std::int64_t t1 = samples.back().ms;
    const std::int64_t t0 = std::min(t1 - 1000, std::max(samples.front().ms, t1 - trends.windowMs()));
    std::uint32_t yMax = 0;
    for (const TrendSample& s : samples) yMax = std::max({yMax, s.maxCycleUs, s.limits.upper, s.minCycleUs});
    yMax = yMax + yMax / 10 + 1;
    auto x = [&](std::int64_t ms) {
        return left + static_cast<double>(ms - t0) * (width - left - right) / static_cast<double>(t1 - t0);
    };
    auto y = [&](double v) { return top + (height - top - bottom) * (1.0 - v / yMax); };
    auto points = [&](auto value) {
        std::ostringstream p;
        p.setf(std::ios::fixed);
        p.precision(1);
        for (const TrendSample& s : samples) p << x(s.ms) << ',' << y(value(s)) << ' ';
        return p.str();
    };
    const TimeLimits band = samples.back().limits;
    std::ostringstream svg;
    svg.setf(std::ios::fixed);
    svg.precision(1);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" role=\"img\" aria-label=\"Cycle times of the last hour\">\n"
        << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << width - left - right << "\" height=\""
        << height - top - bottom << "\" fill=\"#ffffff\" stroke=\"#999\"/>\n"
        << "<rect class=\"band\" x=\"" << left << "\" y=\"" << y(band.upper) << "\" width=\"" << width - left - right
        << "\" height=\"" << y(band.lower) - y(band.upper) << "\" fill=\"#dff0d8\"/>\n"
        << "<polyline class=\"max\" fill=\"none\" stroke=\"#c00000\" stroke-width=\"1.5\" points=\""
        << points([](const TrendSample& s) { return static_cast<double>(s.maxCycleUs); }) << "\"/>\n"
        << "<polyline class=\"min\" fill=\"none\" stroke=\"#0000c0\" stroke-width=\"1.5\" points=\""
        << points([](const TrendSample& s) { return static_cast<double>(s.minCycleUs); }) << "\"/>\n"
        << worstMark(trends, t0, t1, x, y, top)
        << "<text x=\"4\" y=\"" << y(band.upper) + 4 << "\" font-size=\"11\">" << band.upper << "</text>\n"
        << "<text x=\"4\" y=\"" << y(band.lower) + 4 << "\" font-size=\"11\">" << band.lower << "</text>\n"
        << "<text x=\"" << left << "\" y=\"" << height - 6 << "\" font-size=\"11\">" << timeText(samples.front().time)
        << "</text>\n"
        << "<text x=\"" << width - right << "\" y=\"" << height - 6 << "\" font-size=\"11\" text-anchor=\"end\">"
        << timeText(samples.back().time) << "</text>\n"
        << "</svg>\n";
    return svg.str();
}

class HtmlWriter {
public:
    void heading(const std::string& text) { out_ << "<h2>" << htmlEscape(text) << "</h2>\n"; }
    void paragraph(const std::string& text) { out_ << "<p>" << htmlEscape(text) << "</p>\n"; }
    void raw(const std::string& html) { out_ << html; }
    void table(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows,
               const std::vector<bool>& faultRows = {}) {
        out_ << "<table>\n<tr>";
        for (const auto& h : head) out_ << "<th>" << htmlEscape(h) << "</th>";
        out_ << "</tr>\n";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const bool fault = r < faultRows.size() && faultRows[r];
            out_ << (fault ? "<tr class=\"fault\">" : "<tr>");
            for (const auto& cell : rows[r]) out_ << "<td>" << htmlEscape(cell) << "</td>";
            out_ << "</tr>\n";
        }
        out_ << "</table>\n";
    }
    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

class TextWriter {
public:
    void heading(const std::string& text) { out_ << '\n' << text << '\n' << std::string(text.size(), '=') << '\n'; }
    void paragraph(const std::string& text) { out_ << text << '\n'; }
    void table(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows,
               const std::vector<bool>& faultRows = {}) {
        std::vector<std::size_t> widths(head.size(), 0);
        for (std::size_t c = 0; c < head.size(); ++c) widths[c] = head[c].size();
        for (const auto& row : rows)
            for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
        auto line = [&](const std::vector<std::string>& cells, bool fault) {
            std::string l = fault ? "! " : "  ";
            for (std::size_t c = 0; c < cells.size(); ++c) {
                l += cells[c];
                if (c + 1 < cells.size()) l += std::string(widths[c] - cells[c].size() + 2, ' ');
            }
            while (!l.empty() && l.back() == ' ') l.pop_back();
            out_ << l << '\n';
        };
        line(head, false);
        for (std::size_t r = 0; r < rows.size(); ++r) line(rows[r], r < faultRows.size() && faultRows[r]);
    }
    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

// The sections, written the same way into either form.
template <typename Writer>
void writeSections(Writer& w, const ReportSources& src) {
    const RunHistory& h = src.history;
    const FaultHistory& faults = h.faults();

    w.paragraph("Generated " + timeText(src.generatedAt) + " by " + src.programFileName + " after " +
                std::to_string(h.tickCount()) + " ticks (" + std::to_string(h.onlineTickCount()) + " online).");
    // A replay shows a recorded run again; whoever reads the report must
    // not take it for the state of a controller at the time it was made.
    if (src.recordedRun)
        w.paragraph("Made from a replay of a recorded run (its settings file " + src.recordedRun->settingsFile +
                    "): the times are the recorded ones.");
    if (src.recordedRun && !src.recordedRun->divergence.empty()) w.paragraph("The replay strayed: " + src.recordedRun->divergence + ".");
    w.paragraph("Window caption: " + src.model.caption);

    auto valueTable = [&](const std::vector<ReportRow>& rows) {
        std::vector<std::vector<std::string>> cells;
        std::vector<bool> marks;
        for (const ReportRow& r : rows) {
            cells.push_back({r.caption, r.value});
            marks.push_back(r.fault);
        }
        w.table({"Item", "Value"}, cells, marks);
    };
    w.heading("Identity and versions");
    valueTable(shownValues(src.model, Group::Version));
    w.heading("Board details");
    valueTable(shownValues(src.model, Group::Board));

    w.heading("Tasks");
    {
        std::vector<std::vector<std::string>> rows;
        std::vector<bool> marks;
        for (int t = 0; t < 4; ++t) {
            const std::string d = std::to_string(t);
            std::string state;
            if (src.model["cbRun" + d].checked) state += "run ";
            if (src.model["cbStep" + d].checked) state += "step ";
            if (src.model["cbStop" + d].checked) state += "stop";
            const std::string& file = src.model["laTask" + d + "FileName"].text;
            rows.push_back({d, file.empty() ? "none" : file, trimmed(state),
                            src.model["edErrNum" + d].text, src.model["edErrLine" + d].text});
            marks.push_back(src.model["edErrNum" + d].role == ColourRole::Fault);
        }
        w.table({"Task", "File", "State", "Error", "Line"}, rows, marks);
    }

    w.heading("Active faults");
    {
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : src.model.summary) rows.push_back({line});
        w.table({"Error summary of the last tick"}, rows);
    }

    w.heading("Fault history");
    if (faults.entries().empty()) {
        w.paragraph("No fault line was seen in this run.");
    } else {
        std::vector<std::vector<std::string>> rows;
        std::vector<bool> marks;
        for (const FaultEntry& e : faults.entries()) {
            rows.push_back({e.line, faultClassText(e.faultClass) + " " + faultClassName(e.faultClass), timeText(e.firstSeen),
                            timeText(e.lastSeen), std::to_string(e.occurrences), std::to_string(e.ticks), entryState(e),
                            resetBy(e)});
            marks.push_back(e.active);
        }
        w.table({"Fault", "Class", "First seen", "Last seen", "Occurrences", "Ticks", "State", "Reset by"}, rows, marks);
    }
    w.heading("Events");
    if (faults.events().empty()) {
        w.paragraph("No controller restart and no offline period in this run.");
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const HistoryEvent& e : faults.events())
            rows.push_back({timeText(e.start), eventKindText(e.kind), eventDetail(e)});
        w.table({"Time", "Event", "Detail"}, rows);
    }

    w.heading("Counters and trends");
    const TrendRecorder& trends = h.trends();
    if (const auto& last = h.lastTick(); last && last->online) {
        std::vector<std::vector<std::string>> rows;
        const auto sums = trends.windowIncrease();
        for (int i = 0; i < kLinkCounterCount; ++i)
            rows.push_back({linkCounterTitle(i), std::to_string(last->linkCounters[i]), std::to_string(sums[i])});
        w.table({"Link error counter", "Now", "Increase, last hour"}, rows);
        w.paragraph("Cycle time now: min " + std::to_string(last->minCycleUs) + " µs, max " +
                    std::to_string(last->maxCycleUs) + " µs; band " + std::to_string(last->limits.lower) + " to " +
                    std::to_string(last->limits.upper) + " µs for a sample time of " +
                    std::to_string(last->sampleTimeUs) + " µs.");
    } else {
        w.paragraph("The controller is offline: no counters in the last tick.");
    }
    if (const auto& worst = trends.worst())
        w.paragraph("Worst cycle time of the run: " + std::to_string(worst->maxCycleUs) + " µs at " +
                    timeText(worst->time) + " (upper limit " + std::to_string(worst->limits.upper) + " µs).");
    w.paragraph("Online ticks with a cycle time outside its band: " + std::to_string(trends.outOfBandTicks()) + ".");
    if constexpr (std::is_same_v<Writer, HtmlWriter>) w.raw(cycleTimeSvg(trends));
    {
        const auto minutes = minutesWithIncreases(trends);
        if (minutes.empty()) {
            w.paragraph("No link error counter increased in the last hour.");
        } else {
            std::vector<std::vector<std::string>> rows;
            for (const MinuteRow& m : minutes) {
                std::vector<std::string> row{timeText(m.time)};
                for (auto v : m.increase) row.push_back(std::to_string(v));
                rows.push_back(row);
            }
            std::vector<std::string> head{"Minute from"};
            for (int i = 0; i < kLinkCounterCount; ++i) head.push_back(linkCounterTitle(i));
            w.table(head, rows);
        }
    }

    w.heading("Settings in force");
    valueTable(settingsRows(src.settings, src.recordedRun ? &*src.recordedRun : nullptr));

    w.heading("Last protocol records");
    const auto records = lastProtocolRecords(src.settings.protocolFileName, src.protocolRecords);
    if (src.recordedRun) {
        w.paragraph(records.empty() ? "The replay has written no protocol records yet."
                                    : "As the replay of the recorded run wrote them again:");
    } else if (records.empty()) {
        w.paragraph("No protocol records (file " + src.settings.protocolFileName + ").");
    }
    if (!records.empty()) {
        for (const auto& record : records) {
            std::string joined;
            for (const auto& line : record) joined += line + "\n";
            if constexpr (std::is_same_v<Writer, HtmlWriter>) w.raw("<pre>" + htmlEscape(joined) + "</pre>\n");
            else w.paragraph(joined);
        }
    }
}

}  // namespace

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::vector<ReportRow> shownValues(const DisplayModel& model, Group group) {
    std::vector<ReportRow> rows;
    for (const Control& c : model.controls()) {
        if (c.group != group || c.kind != ControlKind::Label || !c.visible) continue;
        if (c.style == TextStyle::File) continue;  // task rows have a table of their own
        if (c.name == "Label1") continue;           // the legend of "n.a."
        ReportRow row;
        if (endsWith(c.name, "Nr")) {
            const std::string stem = c.name.substr(0, c.name.size() - 2);
            if (model.has(stem)) continue;  // written with its caption
            if (c.text.empty() || c.text == "---") continue;  // nothing read into it
            row.caption = c.hint.empty() ? c.name : c.hint;
            row.value = c.text;
            row.fault = c.role == ColourRole::Fault;
        } else {
            if (group == Group::Task) continue;
            const std::string caption = trimmed(c.text);
            if (caption == "---" || caption.empty()) continue;  // a row the controller has not filled
            const std::string valueName = c.name + "Nr";
            if (model.has(valueName)) {
                row.value = trimmed(model[valueName].text);
                row.fault = model[valueName].role == ColourRole::Fault;
            } else if (const char* partner = valueControlOf(c.name)) {
                row.value = shownText(model[partner]);
            }
            // A caption that carries its value ("kvxg3.dll: 2.5.3.15",
            // "ASMS Error at ASM# 1 (90 hex)") gives it up to the value cell.
            splitCaption(c.text, row);
            if (row.value.empty()) row.value = "none";  // an empty list: nothing to report
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<ReportRow> settingsRows(const SettingsValues& s, const RecordedRunFiles* recorded) {
    const auto text = [](const std::string& value) { return value.empty() ? std::string("not set") : value; };
    return {
        recorded ? ReportRow{"Settings file of the recorded run", text(recorded->settingsFile)}
                 : ReportRow{"Settings file", text(s.settingsFileName)},
        {"SystemFileName", text(s.systemFileName)},
        {"BootFileName", text(s.bootFileName)},
        recorded ? ReportRow{"Protocol FileName of the recorded run", text(recorded->protocolFile)}
                 : ReportRow{"Protocol FileName", text(s.protocolFileName)},
        {"TryToBoot", std::to_string(s.tryToBoot)},
        {"Selected card", std::to_string(s.selectedCard)},
        {"Base address", std::to_string(s.baseAddress)},
        {"Super-user mode", yesNo(s.superUserMode != 0)},
        {"Web services (remote mode)", yesNo(s.useWebServices != 0)},
        {"Remote URL", text(s.remoteUrl)},
        {"Remote device file", text(s.remoteDevFileName)},
        {"Remote system file", text(s.remoteSysFileName)},
        {"Remote TAVOS file", text(s.remoteOsFileName)},
        {"Remote CNC path", text(s.remoteCncPath)},
        {"Settings writable", yesNo(s.settingsWritable != 0)},
    };
}

std::vector<std::vector<std::string>> lastProtocolRecords(const std::string& fileName, std::size_t count) {
    std::vector<std::vector<std::string>> records;
    if (fileName.empty() || count == 0) return records;
    // A FIFO or device in the protocol's place is not read; only the last records are kept on the way.
    std::string error;
    const int fd = platform::openRegularForReading(fileName, error);
    if (fd < 0) return records;
    std::vector<std::string> current;
    auto endLine = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) {
            current.push_back(std::move(line));
            return;
        }
        if (current.empty()) return;
        records.push_back(std::move(current));
        current.clear();
        if (records.size() > count) records.erase(records.begin());
    };
    std::string line;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') endLine(std::exchange(line, {}));
            else line += buf[i];
        }
    }
    ::close(fd);
    if (!line.empty()) endLine(std::move(line));
    if (!current.empty()) records.push_back(std::move(current));
    if (records.size() > count) records.erase(records.begin(), records.end() - static_cast<std::ptrdiff_t>(count));
    return records;
}

std::string reportHtml(const ReportSources& sources) {
    HtmlWriter w;
    w.raw("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<title>KvxDiagnostics service report</title>\n<style>\n"
          "body{font-family:sans-serif;font-size:13px;margin:16px;color:#111}\n"
          "h1{font-size:20px}h2{font-size:16px;margin-top:18px;border-bottom:1px solid #aaa}\n"
          "table{border-collapse:collapse;margin:4px 0}th,td{border:1px solid #bbb;padding:2px 6px;text-align:left}\n"
          "th{background:#eee}tr.fault td{color:#c00000;font-weight:bold}\n"
          "pre{background:#f6f6f6;border:1px solid #ddd;padding:4px;margin:4px 0}\n"
          "</style>\n</head>\n<body>\n<h1>KvxDiagnostics service report");
    if (sources.recordedRun) w.raw(" of a replay");
    w.raw("</h1>\n");
    writeSections(w, sources);
    w.raw("</body>\n</html>\n");
    return w.str();
}

std::string reportText(const ReportSources& sources) {
    TextWriter w;
    const std::string title =
        std::string("KvxDiagnostics service report") + (sources.recordedRun ? " of a replay" : "");
    w.paragraph(title);
    w.paragraph(std::string(title.size(), '='));
    writeSections(w, sources);
    return w.str();
}

std::string textReportPath(const std::string& htmlPath) {
    const auto slash = htmlPath.rfind('/');
    const auto dot = htmlPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return htmlPath + ".txt";
    return htmlPath.substr(0, dot) + ".txt";
}

bool writeServiceReport(const ReportSources& sources, const std::string& htmlPath, std::string* error) {
    auto write = [&](const std::string& path, const std::string& content) {
        std::string why;
        const int fd = platform::openForWriting(path, platform::WriteMode::Replace, 0666, why);
        bool written = fd >= 0 && platform::writeAll(fd, content.data(), content.size());
        if (fd >= 0 && ::close(fd) != 0) written = false;
        if (!written && error) *error = "Cannot write " + path;
        return written;
    };
    return write(htmlPath, reportHtml(sources)) && write(textReportPath(htmlPath), reportText(sources));
}

}  // namespace kvx
