// The display model as the real poll leaves it after a tick, in super-user
// mode, on a shipped scenario changed first by kvxsimctl commands.
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/monitor.h"
#include "sim/daemon_process.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"

namespace kvx::test {

DisplayModel scenarioBoard(const std::string& scenario, const std::vector<std::string>& commands, std::string& error) {
    DisplayModel model;
    kvxsim::test::TempDir tmp;
    const std::string socket = tmp.file("kvxsim.sock"), settings = tmp.file("KvxDiagnostics.INI");
    kvxsim::test::DaemonProcess daemon(kvxsim::test::scenarioDir() + "/" + scenario, socket);
    for (const std::string& command : commands) {
        std::istringstream in(command);
        std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        if (daemon.control(words).exitCode != 0) error = "refused: " + command;
    }
    std::ofstream(settings) << "[PROTOCOL]\nFileName=" << tmp.file("DiagProtocol.txt") << "\n";
    MonitorOptions options;
    options.arguments = {"/SU"};
    options.locations = {settings, tmp.path() + "/", tmp.path()};
    options.programPath = tmp.file("KvxDiagnostics");
    const std::string library = kvxsim::test::binDir() + "/kvxg3.dll";
    options.environment = [library](const std::string& name) {
        return name == "KVXDLLNAME" ? std::optional(library) : std::nullopt;
    };
    ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);  // where the library finds the daemon
    ScriptedDialogs dialogs;
    FixedClock clock;
    Monitor monitor(model, dialogs, clock, options);
    if (!monitor.formCreate()) error = "the start on " + scenario + " failed";
    monitor.timerTimer();
    monitor.formClose();
    ::unsetenv("KVXSIM_SOCKET");
    return model;
}

}  // namespace kvx::test
