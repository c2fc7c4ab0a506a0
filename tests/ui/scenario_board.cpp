#include "scenario_board.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "app/monitor.h"
#include "sim/daemon_process.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"

namespace kvx::test {

namespace {

// kvxsimctl's words: one command a string, split at spaces.
std::vector<std::string> words(const std::string& command) {
    std::istringstream in(command);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

DisplayModel scenarioBoard(const std::string& scenario, const std::vector<std::string>& commands, std::string& error) {
    DisplayModel model;
    kvxsim::test::TempDir tmp;
    const std::string socket = tmp.file("kvxsim.sock");
    kvxsim::test::DaemonProcess daemon(kvxsim::test::scenarioDir() + "/" + scenario, socket);
    if (!daemon.running()) {
        error = "kvxsim did not start on " + scenario;
        return model;
    }
    for (const std::string& command : commands)
        if (const auto r = daemon.control(words(command)); r.exitCode != 0) {
            error = command + ": " + r.err;
            return model;
        }
    const std::string settings = tmp.file("KvxDiagnostics.INI");
    std::ofstream(settings) << "[PROTOCOL]\nFileName=" << tmp.file("DiagProtocol.txt") << "\n";
    MonitorOptions options;
    options.arguments = {"/SU"};
    options.locations = {settings, tmp.path() + "/", tmp.path()};
    options.programPath = tmp.file("KvxDiagnostics");
    const std::string library = kvxsim::test::binDir() + "/kvxg3.dll";
    options.environment = [library, socket](const std::string& name) -> std::optional<std::string> {
        if (name == "KVXDLLNAME") return library;
        if (name == "KVXSIM_SOCKET") return socket;
        return std::nullopt;
    };
    // The library finds the daemon by the process's environment.
    ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
    {
        ScriptedDialogs dialogs;
        FixedClock clock;
        Monitor monitor(model, dialogs, clock, options);
        if (!monitor.formCreate()) error = "the start on " + scenario + " failed";
        else monitor.timerTimer();
        monitor.formClose();
    }
    ::unsetenv("KVXSIM_SOCKET");
    return model;
}

}  // namespace kvx::test
