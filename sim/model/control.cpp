#include "model/control.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace kvxsim {

namespace {

using Apply = std::function<std::string(CardState&, SteadyClock::time_point)>;

struct AxisFault {
    const char* name;
    std::uint32_t bit;  // 0: the encoder error, which lives outside the state word
    const char* label;
};

constexpr AxisFault kAxisFaults[] = {
    {"emergency-out", kEmergencyOutBit, "emergency out"},
    {"configuration-error", kConfigurationErrorBit, "configuration error"},
    {"data-handling-error", kDataHandlingErrorBit, "data handling error"},
    {"max-position-error", kMaxPositionErrorBit, "maximum position error"},
    {"encoder-error", 0, "encoder error"},
};

struct CounterName {
    const char* name;
    LinkCounter counter;
};

constexpr CounterName kCounters[] = {
    {"dma-read", kDmaRead}, {"dma-write", kDmaWrite}, {"timeout", kTimeout},
    {"rx-data", kRxData},   {"rx-com", kRxCom},
};

// Walks the words of one command and turns failures into CommandError that
// name the word.
class Words {
public:
    explicit Words(const std::vector<std::string>& words) : words_(words) {}

    bool done() const { return next_ >= words_.size(); }
    int position() const { return static_cast<int>(next_) + 1; }

    const std::string& take(const char* what) {
        if (done()) throw CommandError(position(), std::string("missing ") + what);
        return words_[next_++];
    }
    std::string peek() const { return done() ? std::string() : words_[next_]; }

    long long number(const char* what, long long min, long long max) {
        int at = position();
        const std::string& w = take(what);
        try {
            return parseInteger(w, min, max);
        } catch (const std::invalid_argument& e) {
            throw CommandError(at, std::string(what) + " \"" + w + "\": " + e.what());
        }
    }
    double decimal(const char* what) {
        int at = position();
        const std::string& w = take(what);
        try {
            return parseDecimal(w);
        } catch (const std::invalid_argument& e) {
            throw CommandError(at, std::string(what) + " \"" + w + "\": " + e.what());
        }
    }
    // Everything from here to the end, joined by blanks.
    std::string rest(const char* what) {
        if (done()) throw CommandError(position(), std::string("missing ") + what);
        std::string out;
        while (!done()) {
            if (!out.empty()) out += ' ';
            out += words_[next_++];
        }
        return out;
    }
    void expectEnd() const {
        if (!done())
            throw CommandError(position(), "unexpected \"" + words_[next_] + "\" at the end");
    }
    [[noreturn]] void fail(int at, const std::string& message) const {
        throw CommandError(at, message);
    }

private:
    const std::vector<std::string>& words_;
    std::size_t next_ = 0;
};

// "axis 1,3" / "axis all" (axes counted from 1), "module 0,1" / "module all"
// (modules counted from 0). The result is a list of axis-record indices.
std::vector<int> takeTargets(Words& w, const char* keyword) {
    int at = w.position();
    const std::string& kw = w.take(keyword);
    if (kw != keyword) w.fail(at, std::string("expected \"") + keyword + "\", got \"" + kw + "\"");
    bool axes = std::string(keyword) == "axis";
    at = w.position();
    const std::string& list = w.take(axes ? "axis numbers" : "module numbers");
    std::vector<int> out;
    if (list == "all") {
        for (int i = 0; i < kMaxAxes; i += axes ? 1 : 2) out.push_back(i);
        return out;
    }
    std::stringstream ss(list);
    std::string item;
    while (std::getline(ss, item, ',')) {
        try {
            if (axes)
                out.push_back(static_cast<int>(parseInteger(item, 1, kMaxAxes)) - 1);
            else
                out.push_back(static_cast<int>(parseInteger(item, 0, kMaxAxes / 2 - 1)) * 2);
        } catch (const std::invalid_argument& e) {
            w.fail(at, std::string(axes ? "axis" : "module") + " \"" + item + "\": " + e.what());
        }
    }
    if (out.empty()) w.fail(at, "empty list");
    return out;
}

std::string listText(const std::vector<int>& records, bool modules) {
    std::string out;
    for (int r : records) {
        if (!out.empty()) out += ',';
        out += std::to_string(modules ? r / 2 : r + 1);
    }
    return out;
}

int takeTask(Words& w) {
    int at = w.position();
    const std::string& kw = w.take("\"task\"");
    if (kw != "task") w.fail(at, "expected \"task\", got \"" + kw + "\"");
    return static_cast<int>(w.number("task number", 0, kTaskCount - 1));
}

const CounterName* findCounter(const std::string& name) {
    for (const auto& c : kCounters)
        if (name == c.name) return &c;
    return nullptr;
}

std::string counterNames() {
    std::string out;
    for (const auto& c : kCounters) out += std::string(out.empty() ? "" : ", ") + c.name;
    return out;
}

// A timing fault pushes the longest cycle far out of any band; clearing puts
// both times back inside the band around the sample time.
void healthyCycleTimes(CardState& c) {
    std::uint32_t t = c.sampleTimeUs > 0 ? static_cast<std::uint32_t>(c.sampleTimeUs) : 1280;
    c.minCycleTime = t * 4 / 5;
    c.maxCycleTime = t * 6 / 5;
}

Apply parseFault(Words& w, bool inject) {
    int at = w.position();
    std::string kind = w.take("fault kind");
    for (const auto& f : kAxisFaults) {
        if (kind != f.name) continue;
        auto records = takeTargets(w, "axis");
        w.expectEnd();
        return [f, records, inject](CardState& c, SteadyClock::time_point) {
            for (int r : records) {
                if (f.bit == 0)
                    c.axes[r].encoderError = inject;
                else if (inject)
                    c.axes[r].stateWord |= f.bit;
                else
                    c.axes[r].stateWord &= ~f.bit;
            }
            return std::string(inject ? "injected " : "cleared ") + f.label + " at axis " +
                   listText(records, false);
        };
    }
    if (kind == "asm-timeout") {
        auto records = takeTargets(w, "module");
        w.expectEnd();
        return [records, inject](CardState& c, SteadyClock::time_point) {
            for (int r : records) {
                if (inject)
                    c.axes[r].stateWord |= kAsmTimeoutBit;
                else
                    c.axes[r].stateWord &= ~std::uint32_t(kAsmTimeoutBit);
            }
            return std::string(inject ? "injected" : "cleared") + " ASM timeout at module " +
                   listText(records, true);
        };
    }
    if (kind == "asm-status") {
        auto records = takeTargets(w, "module");
        std::uint32_t status = 0x10;
        if (inject)
            status = w.done() ? 0x11 : static_cast<std::uint32_t>(w.number("status", 0, 0xFFFFFFFF));
        w.expectEnd();
        return [records, status](CardState& c, SteadyClock::time_point) {
            for (int r : records) c.axes[r].statusWord = status;
            std::ostringstream os;
            os << "module " << listText(records, true) << " status 0x" << std::hex << status;
            return os.str();
        };
    }
    if (kind == "interface-status") {
        std::uint32_t value = 3;
        if (inject)
            value = w.done() ? 0x0B : static_cast<std::uint32_t>(w.number("register value", 0, 0xFFFFFFFF));
        w.expectEnd();
        return [value](CardState& c, SteadyClock::time_point) {
            c.interfaceStatus = value;
            std::ostringstream os;
            os << "interface status register 0x" << std::hex << value;
            return os.str();
        };
    }
    if (kind == "runtime-error") {
        int task = takeTask(w);
        std::int32_t number = 0, line = 0;
        int numberAt = w.position();
        if (inject) {
            number = w.done() ? 1 : static_cast<std::int32_t>(w.number("error number", INT32_MIN, INT32_MAX));
            line = w.done() ? 0 : static_cast<std::int32_t>(w.number("error line", INT32_MIN, INT32_MAX));
            if (number == 0) w.fail(numberAt, "a runtime error needs an error number other than 0");
        }
        w.expectEnd();
        return [task, number, line](CardState& c, SteadyClock::time_point) {
            c.tasks[task].errorNumber = number;
            c.tasks[task].errorLine = line;
            return "task " + std::to_string(task) + " error " + std::to_string(number) + " line " +
                   std::to_string(line);
        };
    }
    if (kind == "error-register") {
        std::uint32_t bits = 0;
        if (inject) {
            bits = w.done() ? 1 : static_cast<std::uint32_t>(w.number("bits", 1, 0xFFFFFFFF));
        }
        w.expectEnd();
        return [bits, inject](CardState& c, SteadyClock::time_point) {
            if (inject)
                c.errorRegister |= bits;
            else
                c.errorRegister = 0;
            std::ostringstream os;
            os << "error register 0x" << std::hex << c.errorRegister;
            return os.str();
        };
    }
    if (kind == "link-error") {
        int cat = w.position();
        std::string name = w.take("counter name");
        const CounterName* counter = findCounter(name);
        if (!counter && !(name == "all" && !inject))
            w.fail(cat, "unknown counter \"" + name + "\"; expected " + counterNames() +
                            (inject ? "" : " or all"));
        std::uint32_t by = 1;
        if (inject && !w.done()) by = static_cast<std::uint32_t>(w.number("increment", 1, 0xFFFFFFFF));
        w.expectEnd();
        return [counter, by, inject](CardState& c, SteadyClock::time_point) {
            if (!counter) {
                c.linkCounters.fill(0);
                return std::string("link counters cleared");
            }
            auto& v = c.linkCounters[counter->counter];
            v = inject ? v + by : 0;
            return std::string(counter->name) + " = " + std::to_string(v);
        };
    }
    if (kind == "timing-error") {
        w.expectEnd();
        return [inject](CardState& c, SteadyClock::time_point) {
            healthyCycleTimes(c);
            if (inject) c.maxCycleTime = c.maxCycleTime * 3;
            return "cycle times " + std::to_string(c.minCycleTime) + " .. " +
                   std::to_string(c.maxCycleTime);
        };
    }
    w.fail(at, "unknown fault kind \"" + kind +
                   "\"; expected emergency-out, configuration-error, data-handling-error, "
                   "max-position-error, encoder-error, asm-timeout, asm-status, interface-status, "
                   "runtime-error, error-register, link-error or timing-error");
}

template <typename T>
Apply setField(T CardState::*field, T value, std::string name) {
    return [field, value, name](CardState& c, SteadyClock::time_point) {
        c.*field = value;
        std::ostringstream os;
        os << name << " = " << value;
        return os.str();
    };
}

Apply parseSet(Words& w) {
    int at = w.position();
    std::string field = w.take("field");
    Apply result;
    if (field == "min-cycle") {
        result = setField(&CardState::minCycleTime, std::uint32_t(w.number("time", 0, 0xFFFFFFFF)), field);
    } else if (field == "max-cycle") {
        result = setField(&CardState::maxCycleTime, std::uint32_t(w.number("time", 0, 0xFFFFFFFF)), field);
    } else if (field == "sample-time") {
        result = setField(&CardState::sampleTimeUs, std::int32_t(w.number("sample time", INT32_MIN, INT32_MAX)), field);
    } else if (field == "error-register") {
        result = setField(&CardState::errorRegister, std::uint32_t(w.number("value", 0, 0xFFFFFFFF)), field);
    } else if (field == "interface-status") {
        result = setField(&CardState::interfaceStatus, std::uint32_t(w.number("value", 0, 0xFFFFFFFF)), field);
    } else if (field == "board-type") {
        result = setField(&CardState::boardType, std::int32_t(w.number("code", INT32_MIN, INT32_MAX)), field);
    } else if (field == "pld-revision") {
        result = setField(&CardState::pldRevision, std::int32_t(w.number("revision", INT32_MIN, INT32_MAX)), field);
    } else if (field == "os-version") {
        result = setField(&CardState::osVersion, std::int32_t(w.number("version", INT32_MIN, INT32_MAX)), field);
    } else if (field == "miniport-version") {
        result = setField(&CardState::miniportVersion, std::uint32_t(w.number("version word", 0, 0xFFFFFFFF)), field);
    } else if (field == "axes") {
        result = setField(&CardState::axisCount, int(w.number("axis count", 0, kMaxAxes)), field);
    } else if (field == "tavos-name") {
        result = setField(&CardState::tavosName, w.rest("name"), field);
    } else if (field == "run-counter") {
        auto value = std::uint32_t(w.number("value", 0, 0xFFFFFFFF));
        result = [value](CardState& c, SteadyClock::time_point now) {
            c.setRunCounter(value, now);
            return "run counter = " + std::to_string(value);
        };
    } else if (const CounterName* counter = findCounter(field)) {
        auto value = std::uint32_t(w.number("value", 0, 0xFFFFFFFF));
        result = [counter, value](CardState& c, SteadyClock::time_point) {
            c.linkCounters[counter->counter] = value;
            return std::string(counter->name) + " = " + std::to_string(value);
        };
    } else if (field == "env") {
        std::string name = w.take("variable name");
        std::string value = w.done() ? std::string() : w.rest("value");
        result = [name, value](CardState& c, SteadyClock::time_point) {
            if (value.empty()) {
                c.environment.erase(name);
                return name + " removed";
            }
            c.environment[name] = value;
            return name + " = " + value;
        };
    } else if (field == "option") {
        int number = int(w.number("option number", INT32_MIN, INT32_MAX));
        OptionValue option;
        if (w.peek() == "none") {
            w.take("value");
            option.readable = false;
        } else {
            option.value = std::int32_t(w.number("value or none", INT32_MIN, 0xFFFFFFFF));
        }
        result = [number, option](CardState& c, SteadyClock::time_point) {
            c.options[number] = option;
            return "option " + std::to_string(number) + " = " +
                   (option.readable ? std::to_string(option.value) : std::string("none"));
        };
    } else if (field == "axis" || field == "module") {
        bool module = field == "axis" ? false : true;
        int record = module ? int(w.number("module number", 0, kMaxAxes / 2 - 1)) * 2
                            : int(w.number("axis number", 1, kMaxAxes)) - 1;
        int pat = w.position();
        std::string what = w.take("axis field");
        if (what == "limit" && !module) {
            double limit = w.decimal("limit");
            result = [record, limit](CardState& c, SteadyClock::time_point) {
                c.axes[record].maxPositionErrorLimit = limit;
                return "axis " + std::to_string(record + 1) + " limit set";
            };
        } else if (what == "state" || what == "status" || what == "checksum") {
            auto value = std::uint32_t(w.number("value", 0, 0xFFFFFFFF));
            result = [record, what, value](CardState& c, SteadyClock::time_point) {
                auto& a = c.axes[record];
                (what == "state" ? a.stateWord : what == "status" ? a.statusWord : a.epromCheckSum) = value;
                return "record " + std::to_string(record) + " " + what + " = " + std::to_string(value);
            };
        } else {
            w.fail(pat, "unknown field \"" + what + "\"; expected " +
                            (module ? "status or checksum" : "state, limit, status or checksum"));
        }
    } else if (field == "task") {
        int task = int(w.number("task number", 0, kTaskCount - 1));
        int pat = w.position();
        std::string what = w.take("task field");
        if (what == "file") {
            std::string file = w.done() ? std::string() : w.rest("file name");
            result = [task, file](CardState& c, SteadyClock::time_point) {
                c.tasks[task].fileName = file;
                return "task " + std::to_string(task) + " file = " + file;
            };
        } else if (what == "state" || what == "error" || what == "line") {
            auto value = w.number("value", INT32_MIN, 0xFFFFFFFF);
            result = [task, what, value](CardState& c, SteadyClock::time_point) {
                auto& t = c.tasks[task];
                if (what == "state") t.state = std::uint32_t(value);
                if (what == "error") t.errorNumber = std::int32_t(value);
                if (what == "line") t.errorLine = std::int32_t(value);
                return "task " + std::to_string(task) + " " + what + " = " + std::to_string(value);
            };
        } else {
            w.fail(pat, "unknown field \"" + what + "\"; expected file, state, error or line");
        }
    } else {
        w.fail(at, "unknown field \"" + field +
                       "\"; expected min-cycle, max-cycle, run-counter, sample-time, error-register, "
                       "interface-status, board-type, pld-revision, os-version, miniport-version, "
                       "axes, tavos-name, " + counterNames() + ", env, option, axis, module or task");
    }
    w.expectEnd();
    return result;
}

}  // namespace

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream is(line);
    std::string word;
    while (is >> word) out.push_back(word);
    return out;
}

long long parseInteger(const std::string& text, long long min, long long max) {
    if (text.empty()) throw std::invalid_argument("not a number");
    bool hex = text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0);
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(begin, &end, hex ? 16 : 10);
    if (end == begin || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])))
        throw std::invalid_argument("not a number");
    if (errno == ERANGE || v < min || v > max)
        throw std::invalid_argument("out of range " + std::to_string(min) + " .. " + std::to_string(max));
    return v;
}

double parseDecimal(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    double v = std::strtod(begin, &end);
    if (text.empty() || end == begin || *end != '\0' || !std::isfinite(v))
        throw std::invalid_argument("not a number");
    return v;
}

ControlCommand parseControlCommand(const std::vector<std::string>& words, int cardCount) {
    Words w(words);
    ControlCommand cmd;
    if (w.peek() == "card") {
        w.take("\"card\"");
        cmd.card = int(w.number("card index", 0, cardCount > 0 ? cardCount - 1 : 0));
        cmd.cardGiven = true;
        if (cardCount <= 0) w.fail(2, "the simulator has no card");
    }
    int at = w.position();
    std::string verb = w.take("command");
    if (verb == "state" || verb == "show") {
        w.expectEnd();
        cmd.showState = true;
    } else if (verb == "inject" || verb == "clear") {
        cmd.apply = parseFault(w, verb == "inject");
    } else if (verb == "set") {
        cmd.apply = parseSet(w);
    } else if (verb == "increment") {
        int cat = w.position();
        std::string name = w.take("counter name");
        const CounterName* counter = findCounter(name);
        if (!counter) w.fail(cat, "unknown counter \"" + name + "\"; expected " + counterNames());
        std::uint32_t by = w.done() ? 1 : std::uint32_t(w.number("increment", 1, 0xFFFFFFFF));
        w.expectEnd();
        cmd.apply = [counter, by](CardState& c, SteadyClock::time_point) {
            c.linkCounters[counter->counter] += by;
            return std::string(counter->name) + " = " + std::to_string(c.linkCounters[counter->counter]);
        };
    } else if (verb == "restart") {
        w.expectEnd();
        cmd.apply = [](CardState& c, SteadyClock::time_point now) {
            c.restart(now);
            c.setInitResult(0, now);
            return std::string("controller restarted");
        };
    } else if (verb == "offline") {
        auto code = std::int32_t(w.number("result code", INT32_MIN, INT32_MAX));
        w.expectEnd();
        if (code == 0) w.fail(at + 1, "result code 0 means online; use \"online\"");
        cmd.apply = [code](CardState& c, SteadyClock::time_point now) {
            c.setInitResult(code, now);
            return "offline, initialisation answers " + std::to_string(code);
        };
    } else if (verb == "online") {
        w.expectEnd();
        cmd.apply = [](CardState& c, SteadyClock::time_point now) {
            c.setInitResult(0, now);
            return std::string("online");
        };
    } else {
        w.fail(at, "unknown command \"" + verb +
                       "\"; expected state, inject, clear, set, increment, restart, offline or online");
    }
    return cmd;
}

std::string describeCard(const CardState& c, int index, SteadyClock::time_point now) {
    std::ostringstream os;
    os << "card " << index << ": board type " << c.boardType << ", initialisation answers "
       << c.initResult << (c.running() ? " (running)" : " (not running)") << '\n';
    os << "  TAVOS " << c.tavosName << " version " << c.osVersion << ", PLD revision "
       << c.pldRevision << ", sample time " << c.sampleTimeUs << " us, miniport 0x" << std::hex
       << c.miniportVersion << '\n';
    os << "  error register 0x" << c.errorRegister << ", interface status 0x" << c.interfaceStatus
       << std::dec << '\n';
    os << "  options:";
    for (const auto& [n, o] : c.options)
        os << ' ' << n << '=' << (o.readable ? std::to_string(o.value) : std::string("none"));
    os << "\n  environment:";
    for (const auto& [k, v] : c.environment) os << ' ' << k << "=\"" << v << '"';
    os << "\n  status: run counter " << c.runCounterAt(now) << ", cycle " << c.minCycleTime
       << " .. " << c.maxCycleTime;
    for (const auto& counter : kCounters) os << ", " << counter.name << ' ' << c.linkCounters[counter.counter];
    os << "\n  axes: " << c.axisCount << '\n';
    for (int i = 0; i < c.axisCount; ++i) {
        const auto& a = c.axes[i];
        os << "    axis " << i + 1 << ": state 0x" << std::hex << a.stateWord << ", status 0x"
           << a.statusWord << ", checksum 0x" << a.epromCheckSum << std::dec << ", limit "
           << a.maxPositionErrorLimit << (a.encoderError ? ", encoder error" : "") << '\n';
    }
    for (int t = 0; t < kTaskCount; ++t) {
        const auto& task = c.tasks[t];
        os << "  task " << t << ": \"" << task.fileName << "\" state " << task.state << ", error "
           << task.errorNumber << " line " << task.errorLine << '\n';
    }
    return os.str();
}

const char* controlCommandHelp() {
    return R"(Commands (prefix "card N" to address another card than 0):
  help                                      show this list
  state                                     show every card (or card N)
  inject|clear emergency-out axis A[,A...]|all        bit 1 of the axis state word
  inject|clear configuration-error axis A[,A...]|all  bit 9 of the axis state word
  inject|clear data-handling-error axis A[,A...]|all  bit 8 of the axis state word
  inject|clear max-position-error axis A[,A...]|all   bit 7 of the axis state word
  inject|clear encoder-error axis A[,A...]|all        what rddigib reports for the axis
  inject|clear asm-timeout module M[,M...]|all        bit 0 of the module's first record
  inject asm-status module M [STATUS]       module status (default 0x11); clear sets 0x10
  inject interface-status [VALUE]           interface status register (default 0x0B); clear sets 3
  inject runtime-error task T [NUMBER [LINE]]  task error (default 1, line 0); clear sets 0 and 0
  inject error-register [BITS]              sets bits (default 0x1); clear sets 0
  inject link-error COUNTER [N]             adds N (default 1); clear link-error COUNTER|all sets 0
  increment COUNTER [N]                     adds N (default 1) to a link counter
  inject|clear timing-error                 longest cycle 3.6 x the sample time / both back inside the band
  set FIELD VALUE                           min-cycle max-cycle run-counter sample-time error-register
                                            interface-status board-type pld-revision os-version
                                            miniport-version axes tavos-name, or a COUNTER
  set env NAME [VALUE]                      set or (without value) remove an environment variable
  set option N VALUE|none                   option value, or not readable
  set axis A state|limit|status|checksum VALUE  one field of an axis record
  set module M status|checksum VALUE        one field of a module
  set task T file|state|error|line VALUE    one field of a task
  restart                                   the controller restarts: the run counter starts low again
  offline CODE                              initialisation answers CODE (e.g. 33, 34, 20) until online
  online                                    initialisation answers 0 again
COUNTER is one of dma-read dma-write timeout rx-data rx-com. Axes are counted
from 1, modules and tasks from 0, as the monitor shows them.
)";
}

}  // namespace kvxsim
