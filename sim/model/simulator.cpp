#include "model/simulator.h"

#include <sys/stat.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "driver/kvxg3_api.h"

namespace kvxsim {

using nlohmann::json;

Simulator::Simulator(Scenario scenario) : cards_(std::move(scenario.cards)) {
    for (auto& e : scenario.timeline) {
        double due = e.atSeconds;
        timeline_.push_back({std::move(e), due});
    }
}

int Simulator::cardCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(cards_.size());
}

json Simulator::handleDriverRequest(const json& request) {
    std::lock_guard lock(mutex_);
    try {
        return answerLocked(request);
    } catch (const json::exception&) {
        return json{{"rc", KVX_E_PROTOCOL}, {"error", "malformed request"}};
    } catch (const std::out_of_range&) {
        return json{{"rc", KVX_E_PROTOCOL}, {"error", "malformed request"}};
    }
}

namespace {

// The whole number in field `name`, when it fits T. json's own conversion
// casts any number, and a fraction or an exponent beyond T's range (1e30)
// makes that cast undefined; such a request is malformed instead.
template <typename T>
T wholeNumber(const json& request, const char* name) {
    const json& v = request.at(name);
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(u);
    } else if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        if (i >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
            (i < 0 || static_cast<std::uint64_t>(i) <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
            return static_cast<T>(i);
    } else if (!v.is_number()) {
        return v.get<T>();  // not a number at all: json's type error
    }
    throw std::out_of_range(std::string("\"") + name + "\" is not a whole number in range");
}

json axisJson(const AxisState& a) {
    return json{{"state", a.stateWord},
                {"limit", a.maxPositionErrorLimit},
                {"status", a.statusWord},
                {"checksum", a.epromCheckSum},
                {"encoder", a.encoderError ? 1 : 0}};
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

json Simulator::driverRequestLocked(const json& request) {
    const std::string op = request.at("op").get<std::string>();
    auto now = SteadyClock::now();
    if (op == "hello") return json{{"rc", KVX_OK}, {"cards", cards_.size()}};

    int index = request.contains("card") ? wholeNumber<int>(request, "card") : 0;
    if (index < 0 || index >= static_cast<int>(cards_.size()))
        return json{{"rc", KVX_E_NO_CARD}, {"error", "no card " + std::to_string(index)}};
    CardState& c = cards_[static_cast<std::size_t>(index)];

    auto axisIndex = [&]() -> int {
        int a = wholeNumber<int>(request, "axis");
        return a >= 0 && a < kMaxAxes ? a : -1;
    };

    if (op == "init") {
        json answer{{"rc", c.initResult}};
        // Only a running controller hands out its system data.
        if (c.running()) {
            answer["boardType"] = c.boardType;
            answer["tavosName"] = c.tavosName;
            answer["axisCount"] = c.axisCount;
            json axes = json::array();
            for (const auto& a : c.axes) axes.push_back(axisJson(a));
            answer["axes"] = std::move(axes);
        }
        return answer;
    }
    if (op == "boot") {
        std::string file = request.at("file").get<std::string>();
        if (!fileExists(file)) return json{{"rc", KVX_E_NO_FILE}, {"error", "no boot file \"" + file + "\""}};
        c.restart(now);
        c.setInitResult(0, now);
        return json{{"rc", KVX_OK}};
    }
    if (op == "axis") {
        int a = axisIndex();
        if (a < 0) return json{{"rc", KVX_E_BAD_ARGUMENT}};
        json answer = axisJson(c.axes[static_cast<std::size_t>(a)]);
        answer["rc"] = KVX_OK;
        return answer;
    }
    if (op == "resetEncoder") {
        int a = axisIndex();
        if (a < 0) return json{{"rc", KVX_E_BAD_ARGUMENT}};
        c.axes[static_cast<std::size_t>(a)].encoderError = false;
        return json{{"rc", KVX_OK}};
    }
    if (op == "ifs") return json{{"rc", KVX_OK}, {"value", c.interfaceStatus}};
    if (op == "option") {
        auto it = c.options.find(wholeNumber<int>(request, "option"));
        if (it == c.options.end() || !it->second.readable) return json{{"rc", 0}};
        return json{{"rc", KVX_OPTION_READ}, {"value", it->second.value}};
    }
    if (op == "env") {
        auto it = c.environment.find(request.at("name").get<std::string>());
        if (it == c.environment.end()) return json{{"rc", 0}};
        return json{{"rc", static_cast<int>(it->second.size())}, {"value", it->second}};
    }
    if (op == "osVersion") return json{{"rc", KVX_OK}, {"value", c.osVersion}};
    if (op == "pld") return json{{"rc", KVX_OK}, {"value", c.pldRevision}};
    if (op == "sampleTime") return json{{"rc", KVX_OK}, {"value", c.sampleTimeUs}};
    if (op == "errorReg") return json{{"rc", KVX_OK}, {"value", c.errorRegister}};
    if (op == "writeErrorReg") {
        c.errorRegister = wholeNumber<std::uint32_t>(request, "value");
        return json{{"rc", KVX_OK}};
    }
    if (op == "miniport") return json{{"rc", KVX_OK}, {"value", c.miniportVersion}};
    if (op == "opcode") {
        c.linkOpCodes.push_back(wholeNumber<std::int32_t>(request, "opcode"));
        if (c.linkOpCodes.size() > 16) c.linkOpCodes.erase(c.linkOpCodes.begin());
        return json{{"rc", KVX_OK}};
    }
    if (op == "task") {
        int t = wholeNumber<int>(request, "task");
        if (t < 0 || t >= kTaskCount) return json{{"rc", KVX_E_BAD_ARGUMENT}};
        const TaskState& task = c.tasks[static_cast<std::size_t>(t)];
        return json{{"rc", KVX_OK},
                    {"error", task.errorNumber},
                    {"line", task.errorLine},
                    {"state", task.state},
                    {"file", task.fileName}};
    }
    if (op == "status") {
        return json{{"rc", KVX_OK},
                    {"minCycle", c.minCycleTime},
                    {"maxCycle", c.maxCycleTime},
                    {"runCounter", c.runCounterAt(now)},
                    {"links", c.linkCounters}};
    }
    return json{{"rc", KVX_E_NOT_SUPPORTED}, {"error", "unknown operation \"" + op + "\""}};
}

json Simulator::handleControl(const std::vector<std::string>& words) {
    std::lock_guard lock(mutex_);
    auto now = SteadyClock::now();
    try {
        ControlCommand cmd = parseControlCommand(words, static_cast<int>(cards_.size()));
        if (cmd.showState) {
            std::string text;
            for (std::size_t i = 0; i < cards_.size(); ++i)
                if (!cmd.cardGiven || static_cast<int>(i) == cmd.card)
                    text += describeCard(cards_[i], static_cast<int>(i), now);
            return json{{"ok", true}, {"text", text}};
        }
        std::string text = cmd.apply(cards_[static_cast<std::size_t>(cmd.card)], now);
        return json{{"ok", true}, {"text", "card " + std::to_string(cmd.card) + ": " + text}};
    } catch (const CommandError& e) {
        std::string at = e.word() > 0 && e.word() <= static_cast<int>(words.size())
                             ? "word " + std::to_string(e.word()) + " (\"" + words[static_cast<std::size_t>(e.word() - 1)] + "\"): "
                             : e.word() > 0 ? "word " + std::to_string(e.word()) + ": " : "";
        return json{{"ok", false}, {"error", at + e.what()}};
    }
}

std::vector<std::string> Simulator::runTimeline(double elapsedSeconds) {
    std::lock_guard lock(mutex_);
    auto now = SteadyClock::now();
    std::vector<std::string> log;
    for (auto& s : timeline_) {
        // A late wake-up runs a repeating entry once, not once per missed period.
        if (s.done || s.due > elapsedSeconds) continue;
        const ControlCommand& cmd = s.entry.command;
        if (cmd.card < static_cast<int>(cards_.size()))
            log.push_back("line " + std::to_string(s.entry.line) + ": card " + std::to_string(cmd.card) +
                          ": " + cmd.apply(cards_[static_cast<std::size_t>(cmd.card)], now));
        if (s.entry.everySeconds > 0) {
            while (s.due <= elapsedSeconds) s.due += s.entry.everySeconds;
        } else {
            s.done = true;
        }
    }
    return log;
}

double Simulator::nextTimelineDue() const {
    std::lock_guard lock(mutex_);
    double next = -1;
    for (const auto& s : timeline_)
        if (!s.done && (next < 0 || s.due < next)) next = s.due;
    return next;
}

void Simulator::updateCard(int card, const std::function<void(CardState&, SteadyClock::time_point)>& change) {
    std::lock_guard lock(mutex_);
    if (card >= 0 && card < static_cast<int>(cards_.size())) change(cards_[static_cast<std::size_t>(card)], SteadyClock::now());
}

}  // namespace kvxsim
