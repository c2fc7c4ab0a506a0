// KvxDiagnostics: starts the window, or the headless front end with
// --console or where no display exists.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/console_frontend.h"
#include "metrics/listen_address.h"
#include "platform/log.h"
#include "platform/build_info.h"
#include "recording/flight_recorder.h"
#ifdef KVX_WITH_WINDOW
#include "app/window_plugin.h"
#include "platform/plugin.h"
#endif

namespace {

void printUsage() {
    std::cout << "Usage: KvxDiagnostics [/SU] [--settings FILE] [--console [--ticks N] [--json] [--interval-ms N]\n"
                 "                      [--metrics-port N | --web.listen-address [HOST]:PORT [--web.config.file FILE]]\n"
                 "                      [--report FILE]]\n"
                 "                      [--record FILE [--record-max-mb N [--record-files N]]\n"
                 "                       | --replay FILE [--protocol FILE] [--speed N]]\n"
                 "                      [--log.level LEVEL] [--log.format FORMAT]\n"
                 "  /SU             super-user mode (reboot, web services and file-name switches)\n"
                 "  --settings FILE the settings file of this instance, in place of the one beside the program\n"
                 "  --console       run without a window: caption and summary are printed when they change\n"
                 "  --ticks N       headless: stop after N ticks\n"
                 "  --json          headless: print the whole display model of every tick as one JSON line\n"
                 "  --interval-ms N headless: poll interval in ms (default 1000; for tests only)\n"
                 "  --metrics-port N headless (implies --console): serve the monitor's state for Prometheus at\n"
                 "                  http://127.0.0.1:N/metrics (0: any free port, printed at start)\n"
                 "  --web.listen-address [HOST]:PORT  headless (implies --console): serve the metrics on this\n"
                 "                  address instead of loopback (:9464 or [::]:9464 for every IPv4 and IPv6\n"
                 "                  address, 0.0.0.0:9464 for IPv4 only); --metrics-address is the same option\n"
                 "  --web.config.file FILE  TLS and basic authentication of the metrics, in the file format of\n"
                 "                  the Prometheus exporter toolkit (tls_server_config, basic_auth_users);\n"
                 "                  --web-config-file is the same option\n"
                 "  --report FILE   headless (implies --console): write the service report to FILE (HTML) and beside it\n"
                 "                  as plain text (.txt) when the run ends\n"
                 "  --record FILE   record every driver answer, tick by tick, to FILE (docs/recording.md)\n"
                 "  --record-max-mb N  with --record: move FILE aside to FILE.1, FILE.2, ... when it reaches N MB\n"
                 "                  (1 to 1048576)\n"
                 "  --record-files N   with --record-max-mb: files kept, the current one included, 1 to 1000\n"
                 "                  (default 10)\n"
                 "  --replay FILE   show the recorded run of FILE instead of a controller; writes no settings.\n"
                 "                  FILE.N, moved aside at the size limit, goes on with FILE.N-1 ... FILE\n"
                 "  --protocol FILE with --replay: write the protocol the run wrote, with the recorded times\n"
                 "  --speed N       with --replay: N times the recorded pace, 1 to 60 (headless default: no waits)\n"
                 "  --log.level LEVEL  messages on standard error from this level on: debug, info (default),\n"
                 "                  warn or error\n"
                 "  --log.format FORMAT  messages on standard error as logfmt or json lines, with time and level;\n"
                 "                  without it they keep the plain form \"KvxDiagnostics: text\"\n"
                 "  --version       the program's version and the commit it was built from\n"
                 "  -platform NAME, -display NAME, -style NAME, -reverse ...  Qt's own options, with one dash or\n"
                 "                  two, go to the window (-platform and -display open it without DISPLAY)\n"
                 "Other arguments that do not start with -- are ignored.\n"
                 "The driver library is kvxg3.dll (kvxg3X.DLL in web-services mode) beside the program,\n"
                 "or the file named by KVXDLLNAME.\n";
}

bool haveDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return true;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

// Qt's own options (QGuiApplication, QApplication and its X11 platform in
// Qt 6), which Qt takes with one dash or two. `value`: the next argument is
// its value; `attached`: it also comes as -name=value.
struct QtOption {
    std::string_view name;
    bool value;
    bool attached;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true, false},    {"platformpluginpath", true, false}, {"platformtheme", true, false},
    {"plugin", true, false},      {"qwindowgeometry", true, false},    {"qwindowicon", true, false},
    {"qwindowtitle", true, false}, {"session", true, false},           {"display", true, false},
    {"geometry", true, false},    {"title", true, false},              {"icon", true, false},
    {"name", true, false},        {"visual", true, false},             {"style", true, true},
    {"stylesheet", true, true},   {"qmljsdebugger", true, true},       {"reverse", false, false},
    {"widgetcount", false, false}, {"nograb", false, false},           {"dograb", false, false},
    {"testability", false, false},
};

// The Qt option `argument` is, or nothing for one Qt does not take.
// `takesNext`: its value is the next argument.
const QtOption* qtOption(std::string_view argument, bool& takesNext) {
    if (argument.starts_with("--")) argument.remove_prefix(1);
    if (!argument.starts_with("-")) return nullptr;
    argument.remove_prefix(1);
    const auto equals = argument.find('=');
    for (const QtOption& option : kQtOptions) {
        if (argument.substr(0, equals) != option.name || (equals != argument.npos && !option.attached)) continue;
        takesNext = option.value && equals == argument.npos;
        return &option;
    }
    return nullptr;
}

#ifdef KVX_WITH_WINDOW
// The window lives in a plugin, so a headless run never loads the toolkit.
// Qt sees the program's name and its own options only. Nothing when the
// plugin cannot be loaded; `error` then says why.
std::optional<int> runWindowPlugin(const char* program, std::vector<std::string>& qtArguments,
                                   const std::vector<std::string>& arguments, std::string& error) {
    void* plugin = kvx::loadPlugin(KVX_WINDOW_PLUGIN_FILE, error);
    if (!plugin) return std::nullopt;
    auto run = reinterpret_cast<decltype(&kvxdiag_run_window)>(kvx::pluginSymbol(plugin, KVX_WINDOW_PLUGIN_ENTRY, error));
    if (!run) return std::nullopt;
    std::vector<char*> qtArgv{const_cast<char*>(program)};
    for (auto& a : qtArguments) qtArgv.push_back(a.data());
    int qtArgc = static_cast<int>(qtArgv.size());
    qtArgv.push_back(nullptr);
    std::vector<const char*> passed;
    for (const auto& a : arguments) passed.push_back(a.c_str());
    return run(&qtArgc, qtArgv.data(), passed.data(), static_cast<int>(passed.size()));
}
#endif

#ifdef KVX_WITH_WINDOW
// The window front end gets the recorder's and the replay's options among its arguments.
std::vector<std::string> windowArguments(const kvx::ConsoleOptions& console) {
    std::vector<std::string> out = console.arguments;
    if (console.record)
        out.insert(out.end(), {"--record", console.record->file, "--record-max-mb",
                               std::to_string(console.record->maxMegabytes), "--record-files",
                               std::to_string(console.record->keepFiles)});
    if (console.replay) {
        out.insert(out.end(), {"--replay", console.replay->file, "--speed", std::to_string(console.replay->speed)});
        if (console.replay->protocolFile) out.insert(out.end(), {"--protocol", *console.replay->protocolFile});
    }
    return out;
}
#endif

// Digits only: strtol alone takes " 5" and "+5".
bool parseWholeNumber(const char* text, long& out) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (*end || errno == ERANGE) return false;
    out = v;
    return true;
}

bool parsePositive(const char* text, long& out) {
    long v = 0;
    if (!parseWholeNumber(text, v) || v <= 0) return false;
    out = v;
    return true;
}

// The longest poll interval taken: an hour.
constexpr long kMaxIntervalMs = 3600000;

// The options that take a value, under every name they have.
bool takesValue(const std::string& option) {
    for (const char* name : {"--ticks", "--interval-ms", "--metrics-port", "--metrics-address", "--web.listen-address",
                             "--web-config-file", "--web.config.file", "--settings", "--report", "--record",
                             "--record-max-mb", "--record-files", "--replay", "--protocol", "--speed", "--log.level",
                             "--log.format"})
        if (option == name) return true;
    return false;
}

// The options whose value names a file; an empty one names none.
bool takesFile(const std::string& option) {
    for (const char* name : {"--settings", "--report", "--record", "--replay", "--protocol", "--web.config.file",
                             "--web-config-file"})
        if (option == name) return true;
    return false;
}

}  // namespace

int runProgram(int argc, char** argv);

// An error that escapes the start or the run is shown, not swallowed.
int main(int argc, char** argv) {
    try {
        return runProgram(argc, argv);
    } catch (const std::exception& e) {
        kvx::log(kvx::LogLevel::Error, e.what());
        return 1;
    }
}

int runProgram(int argc, char** argv) {
    kvx::ConsoleOptions console;
    kvx::RecordOptions record;
    kvx::ReplayOptions replay;
    std::string protocol;
    bool wantConsole = false;
    std::vector<std::string> qtArguments;
    bool qtPicksDisplay = false;  // -platform or -display: a window without DISPLAY
    std::string replayOnly, recordOnly;  // an option given that needs --replay, --record
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        long value = 0;
        bool qtTakesNext = false;
        if (takesFile(a) && i + 1 < argc && !*argv[i + 1]) {
            kvx::Log(kvx::LogLevel::Error) << a << " needs a file name, not \"\"";
            return 2;
        }
        if (a == "--console") {
            wantConsole = true;
        } else if (a == "--json") {
            console.json = true;
        } else if ((a == "--ticks" || a == "--interval-ms") && i + 1 < argc) {
            const bool interval = a == "--interval-ms";
            if (!parsePositive(argv[++i], value) || (interval && value > kMaxIntervalMs)) {
                kvx::Log(kvx::LogLevel::Error)
                          << a << (interval ? " needs a whole number from 1 to " + std::to_string(kMaxIntervalMs)
                                       : std::string(" needs a positive whole number"))
                          << ", not \"" << argv[i] << "\"";
                return 2;
            }
            if (a == "--ticks") console.ticks = value;
            else console.intervalMs = static_cast<int>(value);
        } else if (a == "--metrics-port" && i + 1 < argc) {
            long port = 0;
            if (!parseWholeNumber(argv[++i], port) || port > 65535) {
                kvx::Log(kvx::LogLevel::Error) << "--metrics-port needs a port number from 0 to 65535, not \""
                                               << argv[i] << "\"";
                return 2;
            }
            console.metricsPort = static_cast<int>(port);
            wantConsole = true;
        } else if ((a == "--web.listen-address" || a == "--metrics-address") && i + 1 < argc) {
            const std::optional<kvx::ListenAddress> address = kvx::parseListenAddress(argv[++i]);
            if (!address) {
                kvx::Log(kvx::LogLevel::Error) << a << " needs [HOST]:PORT (port 0 to 65535), not \"" << argv[i]
                                               << "\"";
                return 2;
            }
            console.metricsHost = address->host;
            console.metricsPort = address->port;
            wantConsole = true;
        } else if ((a == "--web.config.file" || a == "--web-config-file") && i + 1 < argc) {
            console.webConfigFile = argv[++i];
        } else if (a == "--settings" && i + 1 >= argc) {
            kvx::log(kvx::LogLevel::Error, "--settings needs a file name");
            return 2;
        } else if (a == "--settings") {
            // The monitor takes it from the arguments, in either front end.
            console.arguments.push_back(a);
            console.arguments.push_back(argv[++i]);
        } else if (a == "--report" && i + 1 < argc) {
            console.reportFile = argv[++i];
            wantConsole = true;
        } else if ((a == "--record-max-mb" || a == "--record-files" || a == "--speed") && i + 1 < argc) {
            const long most = a == "--speed" ? 60 : a == "--record-files" ? kvx::recording::kMostRecordingFiles
                                                                        : kvx::recording::kMostRecordingMegabytes;
            if (!parsePositive(argv[++i], value) || value > most) {
                kvx::Log(kvx::LogLevel::Error) << a << " needs a whole number from 1 to " << most << ", not \""
                                               << argv[i] << "\"";
                return 2;
            }
            if (a == "--speed") replay.speed = static_cast<int>(value);
            else if (a == "--record-files") record.keepFiles = static_cast<int>(value);
            else record.maxMegabytes = static_cast<int>(value);
            (a == "--speed" ? replayOnly : recordOnly) = a;
        } else if ((a == "--record" || a == "--replay" || a == "--protocol") && i + 1 < argc) {
            (a == "--record" ? record.file : a == "--replay" ? replay.file : protocol) = argv[++i];
            if (a == "--protocol") replayOnly = a;
        } else if (a == "--log.level" && i + 1 < argc) {
            const auto level = kvx::parseLogLevel(argv[++i]);
            if (!level) {
                kvx::Log(kvx::LogLevel::Error) << "--log.level needs debug, info, warn or error, not \"" << argv[i] << "\"";
                return 2;
            }
            kvx::setLogOptions(*level, kvx::logFormat());
        } else if (a == "--log.format" && i + 1 < argc) {
            const auto format = kvx::parseLogFormat(argv[++i]);
            if (!format) {
                kvx::Log(kvx::LogLevel::Error) << "--log.format needs logfmt or json, not \"" << argv[i] << "\"";
                return 2;
            }
            kvx::setLogOptions(kvx::logLevel(), *format);
        } else if (a == "--help" || a == "-h") {
            printUsage();
            return 0;
        } else if (a == "--version") {
            std::cout << "KvxDiagnostics " << kvx::buildVersion() << " (revision " << kvx::buildRevision() << ")\n";
            return 0;
        } else if (const QtOption* qt = qtOption(a, qtTakesNext)) {
            // Not an option of ours taken for its value ("--platform --console").
            if (qtTakesNext && (i + 1 >= argc || std::string_view(argv[i + 1]).starts_with("--"))) {
                kvx::Log(kvx::LogLevel::Error) << a << " needs a value";
                return 2;
            }
            qtArguments.push_back(a);
            if (qtTakesNext) qtArguments.push_back(argv[++i]);
            qtPicksDisplay = qtPicksDisplay || qt->name == "platform" || qt->name == "display";
        } else if (a.starts_with("--")) {
            // A misspelt option would otherwise run an instance without what it asked for.
            kvx::Log(kvx::LogLevel::Error) << (takesValue(a) ? a + " needs a value" : "unknown option " + a)
                                           << " (--help lists the options)";
            return 2;
        } else {
            console.arguments.push_back(a);  // "/SU" and anything else the program ignores
        }
    }

    if (!record.file.empty() && !replay.file.empty()) {
        kvx::log(kvx::LogLevel::Error, "--record and --replay cannot be used together");
        return 2;
    }
    // Taken and then left unused, it would do silently nothing.
    if (replay.file.empty() && !replayOnly.empty()) {
        kvx::log(kvx::LogLevel::Error, replayOnly + " needs --replay");
        return 2;
    }
    if (record.file.empty() && !recordOnly.empty()) {
        kvx::log(kvx::LogLevel::Error, recordOnly + " needs --record");
        return 2;
    }
    if (!protocol.empty()) replay.protocolFile = protocol;
    if (!record.file.empty()) console.record = record;
    if (!replay.file.empty()) console.replay = replay;
    if (console.webConfigFile && !console.metricsPort) {
        kvx::log(kvx::LogLevel::Error, "--web.config.file needs --web.listen-address or --metrics-port");
        return 2;
    }

#ifdef KVX_WITH_WINDOW
    if (!wantConsole && (haveDisplay() || qtPicksDisplay)) {
        std::string error;
        if (auto code = runWindowPlugin(argv[0], qtArguments, windowArguments(console), error)) return *code;
        kvx::log(kvx::LogLevel::Warn, "the window cannot be loaded (" + error + "), running without it.");
    } else if (!wantConsole) {
        kvx::log(kvx::LogLevel::Info, "no display found, running without a window.");
    }
#else
    if (!wantConsole) kvx::log(kvx::LogLevel::Info, "built without the window, running headless.");
#endif
    if (!qtArguments.empty())
        kvx::log(kvx::LogLevel::Warn,
                 qtArguments.front() + " and the other options of Qt are for the window; ignored without it");
    return kvx::runConsole(console);
}
