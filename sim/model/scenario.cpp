#include "model/scenario.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

#include "platform/safe_file.h"

namespace kvxsim {

ScenarioError::ScenarioError(const std::string& source, int line, const std::string& field,
                             const std::string& message)
    : std::runtime_error(source + (line > 0 ? ":" + std::to_string(line) : std::string()) +
                         (field.empty() ? std::string() : ": field \"" + field + "\"") + ": " +
                         message),
      line_(line),
      field_(field) {}

namespace {

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

enum class Section { None, Card, Axis, Module, Task, Timeline };

class Parser {
public:
    explicit Parser(std::string source) : source_(std::move(source)) {}

    Scenario parse(std::istream& in) {
        std::string raw;
        while (std::getline(in, raw)) {
            ++line_;
            std::string text = trim(raw);
            if (text.empty() || text[0] == '#' || text[0] == ';') continue;
            if (text.front() == '[') {
                openSection(text);
                continue;
            }
            auto eq = text.find('=');
            if (eq == std::string::npos) fail("", "expected \"key = value\" or a [section]");
            std::string key = trim(text.substr(0, eq));
            std::string value = trim(text.substr(eq + 1));
            if (key.empty()) fail("", "missing key before \"=\"");
            if (section_ == Section::None) fail(key, "key outside any section; start with [card]");
            if (section_ != Section::Timeline) {
                if (!seenKeys_.insert(key).second) fail(key, "given twice in this section");
            }
            setKey(key, value);
        }
        if (scenario_.cards.empty()) fail0("", "no [card] section");
        finishCard();
        // The timeline may name any card, so its card prefixes are checked
        // once every card is known.
        for (auto& entry : pendingTimeline_) {
            line_ = entry.line;
            try {
                entry.command = parseControlCommand(splitWords(entry.text),
                                                    static_cast<int>(scenario_.cards.size()));
            } catch (const CommandError& e) {
                fail("command", "word " + std::to_string(e.word()) + ": " + e.what());
            }
            if (entry.command.showState) fail("command", "\"state\" changes nothing; not allowed in a timeline");
            scenario_.timeline.push_back(std::move(entry));
        }
        return std::move(scenario_);
    }

private:
    [[noreturn]] void fail(const std::string& field, const std::string& message) const {
        throw ScenarioError(source_, line_, field, message);
    }
    [[noreturn]] void fail0(const std::string& field, const std::string& message) const {
        throw ScenarioError(source_, 0, field, message);
    }

    CardState& card() { return scenario_.cards.back(); }

    void openSection(const std::string& text) {
        if (text.back() != ']') fail("", "section header without closing \"]\"");
        auto words = splitWords(text.substr(1, text.size() - 2));
        if (words.empty()) fail("", "empty section name");
        const std::string& name = words[0];
        seenKeys_.clear();
        auto index = [&](long long min, long long max) -> int {
            if (words.size() != 2) fail(name, "expected [" + name + " N]");
            try {
                return static_cast<int>(parseInteger(words[1], min, max));
            } catch (const std::invalid_argument& e) {
                fail(name, "number \"" + words[1] + "\": " + e.what());
            }
        };
        if (name == "card") {
            int expected = static_cast<int>(scenario_.cards.size());
            int n = words.size() == 1 ? expected : index(0, 19);
            if (n != expected) fail(name, "cards are numbered 0, 1, ... in order; expected [card " + std::to_string(expected) + "]");
            if (!scenario_.cards.empty()) finishCard();
            scenario_.cards.emplace_back();
            section_ = Section::Card;
            return;
        }
        if (name == "timeline") {
            if (words.size() != 1) fail(name, "expected [timeline]");
            section_ = Section::Timeline;
            return;
        }
        if (scenario_.cards.empty()) fail(name, "[" + name + "] before any [card]");
        if (name == "axis") {
            record_ = index(1, kMaxAxes) - 1;
            highestAxis_ = std::max(highestAxis_, record_ + 1);
            section_ = Section::Axis;
        } else if (name == "module") {
            record_ = index(0, kMaxAxes / 2 - 1) * 2;
            highestAxis_ = std::max(highestAxis_, record_ + 1);
            section_ = Section::Module;
        } else if (name == "task") {
            record_ = index(0, kTaskCount - 1);
            section_ = Section::Task;
        } else {
            fail(name, "unknown section; expected card, axis, module, task or timeline");
        }
        lastRecordLine_ = line_;
    }

    void finishCard() {
        CardState& c = card();
        if (axesGiven_) {
            if (highestAxis_ > c.axisCount)
                throw ScenarioError(source_, lastRecordLine_, "axes",
                                    "a section describes axis " + std::to_string(highestAxis_) +
                                        " but axes = " + std::to_string(c.axisCount));
        } else {
            c.axisCount = highestAxis_;
        }
        c.restart(SteadyClock::now());
        axesGiven_ = false;
        highestAxis_ = 0;
    }

    long long integer(const std::string& key, const std::string& value, long long min, long long max) {
        try {
            return parseInteger(value, min, max);
        } catch (const std::invalid_argument& e) {
            fail(key, "value \"" + value + "\": " + e.what());
        }
    }
    std::int32_t i32(const std::string& k, const std::string& v) {
        return static_cast<std::int32_t>(integer(k, v, INT32_MIN, INT32_MAX));
    }
    std::uint32_t u32(const std::string& k, const std::string& v) {
        return static_cast<std::uint32_t>(integer(k, v, 0, 0xFFFFFFFF));
    }
    bool flag(const std::string& key, const std::string& value) {
        std::string v = value;
        std::transform(v.begin(), v.end(), v.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (v == "yes" || v == "true" || v == "on" || v == "1") return true;
        if (v == "no" || v == "false" || v == "off" || v == "0") return false;
        fail(key, "value \"" + value + "\": expected yes or no");
    }

    void setKey(const std::string& key, const std::string& value) {
        switch (section_) {
            case Section::Card: return setCardKey(key, value);
            case Section::Axis:
            case Section::Module: return setRecordKey(key, value);
            case Section::Task: return setTaskKey(key, value);
            case Section::Timeline: return addTimelineEntry(key, value);
            case Section::None: break;
        }
    }

    void setCardKey(const std::string& key, const std::string& value) {
        CardState& c = card();
        auto words = splitWords(key);
        if (words.size() == 2 && words[0] == "option") {
            int n = static_cast<int>(integer(key, words[1], INT32_MIN, INT32_MAX));
            if (value == "none")
                c.options[n] = OptionValue{false, 0};
            else
                c.options[n] = OptionValue{true, static_cast<std::int32_t>(integer(key, value, INT32_MIN, 0xFFFFFFFF))};
            return;
        }
        if (words.size() == 2 && words[0] == "env") {
            if (value.empty())
                c.environment.erase(words[1]);
            else
                c.environment[words[1]] = value;
            return;
        }
        if (key == "board_type") c.boardType = i32(key, value);
        else if (key == "init_result") c.initResult = i32(key, value);
        else if (key == "tavos_name") {
            if (value.empty() || value.size() > 39) fail(key, "1 to 39 characters");
            c.tavosName = value;
        } else if (key == "os_version") c.osVersion = i32(key, value);
        else if (key == "pld_revision") c.pldRevision = i32(key, value);
        else if (key == "sample_time") c.sampleTimeUs = i32(key, value);
        else if (key == "miniport_version") c.miniportVersion = u32(key, value);
        else if (key == "error_register") c.errorRegister = u32(key, value);
        else if (key == "interface_status") c.interfaceStatus = u32(key, value);
        else if (key == "axes") {
            c.axisCount = static_cast<int>(integer(key, value, 0, kMaxAxes));
            axesGiven_ = true;
        } else if (key == "min_cycle") c.minCycleTime = u32(key, value);
        else if (key == "max_cycle") c.maxCycleTime = u32(key, value);
        else if (key == "run_counter") c.runCounterStart = u32(key, value);
        else if (key == "dma_read") c.linkCounters[kDmaRead] = u32(key, value);
        else if (key == "dma_write") c.linkCounters[kDmaWrite] = u32(key, value);
        else if (key == "timeout") c.linkCounters[kTimeout] = u32(key, value);
        else if (key == "rx_data") c.linkCounters[kRxData] = u32(key, value);
        else if (key == "rx_com") c.linkCounters[kRxCom] = u32(key, value);
        else
            fail(key, "unknown key in [card]; expected board_type, init_result, tavos_name, "
                      "os_version, pld_revision, sample_time, miniport_version, error_register, "
                      "interface_status, axes, min_cycle, max_cycle, run_counter, dma_read, "
                      "dma_write, timeout, rx_data, rx_com, option N or env NAME");
    }

    void setRecordKey(const std::string& key, const std::string& value) {
        AxisState& a = card().axes[record_];
        bool module = section_ == Section::Module;
        if (key == "status") a.statusWord = u32(key, value);
        else if (key == "checksum") a.epromCheckSum = u32(key, value);
        else if (module && key == "timeout") {
            if (flag(key, value)) a.stateWord |= kAsmTimeoutBit; else a.stateWord &= ~std::uint32_t(kAsmTimeoutBit);
        } else if (!module && key == "state") a.stateWord = u32(key, value);
        else if (!module && key == "encoder_error") a.encoderError = flag(key, value);
        else if (!module && key == "limit") {
            try {
                a.maxPositionErrorLimit = parseDecimal(value);
            } catch (const std::invalid_argument& e) {
                fail(key, "value \"" + value + "\": " + e.what());
            }
        } else if (module)
            fail(key, "unknown key in [module]; expected status, checksum or timeout");
        else
            fail(key, "unknown key in [axis]; expected state, limit, encoder_error, status or checksum");
    }

    void setTaskKey(const std::string& key, const std::string& value) {
        TaskState& t = card().tasks[record_];
        if (key == "file") {
            if (value.size() > 300) fail(key, "file name longer than 300 characters");
            t.fileName = value;
        } else if (key == "state") t.state = u32(key, value);
        else if (key == "error") t.errorNumber = i32(key, value);
        else if (key == "line") t.errorLine = i32(key, value);
        else fail(key, "unknown key in [task]; expected file, state, error or line");
    }

    double seconds(const std::string& key, const std::string& text) {
        try {
            double v = parseDecimal(text);
            if (v < 0) throw std::invalid_argument("negative time");
            // Far beyond any run, and still a time the timeline can wait
            // for: 1e10 s and more overflowed its clock and made it spin.
            if (!(v <= kMaxTimelineSeconds))
                throw std::invalid_argument("more than " + std::to_string(static_cast<long>(kMaxTimelineSeconds)) +
                                            " seconds (some 115 days)");
            return v;
        } catch (const std::invalid_argument& e) {
            fail(key, "time \"" + text + "\": " + e.what());
        }
    }

    // "at T", "every N" or "every N from T"; seconds after the start.
    void addTimelineEntry(const std::string& key, const std::string& value) {
        auto words = splitWords(key);
        TimelineEntry entry;
        if (words.size() == 2 && words[0] == "at") {
            entry.atSeconds = seconds(key, words[1]);
        } else if ((words.size() == 2 || (words.size() == 4 && words[2] == "from")) && words[0] == "every") {
            entry.everySeconds = seconds(key, words[1]);
            if (entry.everySeconds < 0.1) fail(key, "the period must be at least 0.1 seconds");
            entry.atSeconds = words.size() == 4 ? seconds(key, words[3]) : entry.everySeconds;
        } else {
            fail(key, "expected \"at T\", \"every N\" or \"every N from T\" (seconds)");
        }
        if (value.empty()) fail("command", "missing command");
        entry.text = value;
        entry.line = line_;
        pendingTimeline_.push_back(std::move(entry));
    }

    std::string source_;
    int line_ = 0;
    Section section_ = Section::None;
    Scenario scenario_;
    std::vector<TimelineEntry> pendingTimeline_;
    std::set<std::string> seenKeys_;
    int record_ = 0;
    int highestAxis_ = 0;
    int lastRecordLine_ = 0;
    bool axesGiven_ = false;
};

}  // namespace

Scenario parseScenario(std::istream& in, const std::string& source) {
    return Parser(source).parse(in);
}

Scenario loadScenarioFile(const std::string& path) {
    // A regular file only and bounded: a FIFO is never waited on, a device
    // or a huge file never read without end.
    std::string content, why;
    bool missing = false, cut = false;
    if (!kvx::platform::readRegularFile(path, kMaxScenarioBytes, content, why, &missing, &cut))
        throw ScenarioError(path, 0, "", missing ? "cannot open the file" : "cannot open the file (" + why + ")");
    if (cut) throw ScenarioError(path, 0, "", "larger than " + std::to_string(kMaxScenarioBytes >> 20) + " MB");
    std::istringstream in(std::move(content));
    return parseScenario(in, path);
}

}  // namespace kvxsim
