#include "screen/program_on_screen.h"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "screen/screen_session.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBin = KVX_BIN_DIR;

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

}  // namespace

ProgramOnScreen::ProgramOnScreen(const std::string& scenario, const std::map<std::string, std::string>& environment,
                                 int latencyMs) {
    std::string pattern = (fs::temp_directory_path() / "kvx-screen-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    std::ofstream(dir_ / "scenario.scn") << scenario;
    const std::string socket = (dir_ / "sim.sock").string();
    std::vector<std::string> simArgs{(kBin / "kvxsim").string(), "--scenario", (dir_ / "scenario.scn").string(),
                                     "--socket", socket, "--quiet"};
    if (latencyMs > 0)
        simArgs.insert(simArgs.end(), {"--http-port", "0", "--port-file", (dir_ / "port").string(), "--latency-ms",
                                       std::to_string(latencyMs)});
    else simArgs.push_back("--no-http");
    sim_ = std::make_unique<e2e::Process>(
        e2e::Process::Options{simArgs, {}, dir_.string(), (dir_ / "sim.err").string()});
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(25ms);
    for (int i = 0; latencyMs > 0 && i < 200 && readFile(dir_ / "port").empty(); ++i) std::this_thread::sleep_for(25ms);
    if (latencyMs > 0) url_ = "http://127.0.0.1:" + std::to_string(std::stoi(readFile(dir_ / "port")));
    std::ofstream(dir_ / "KvxDiagnostics.INI") << "[DESKTOP]\nLeft=40\nTop=40\nWidth=757\nHeight=677\n[PROTOCOL]\nFileName="
                                               << (dir_ / "DiagProtocol.txt").string() << "\n"
                                               << (url_.empty() ? "" : "[Project data]\nUse Webservices=1\nURL=" + url_);
    std::map<std::string, std::string> env = environment;
    env.insert({{"KVXSIM_SOCKET", socket}, {"XDG_CONFIG_HOME", dir_.string()}, {"QT_QPA_PLATFORM", "xcb"}});
    program_ = std::make_unique<e2e::Process>(e2e::Process::Options{
        {(kBin / "KvxDiagnostics").string(), "/SU", "--settings", (dir_ / "KvxDiagnostics.INI").string()},
        env,
        dir_.string(),
        (dir_ / "program.err").string()});
    if (latencyMs > 0) statusWindow_ = session().windowNamed("Connecting to " + url_, 10s);
    window_ = latencyMs > 0 ? session().windowNamed("Online Mode", 60s) : session().windowOf(program_->pid());
    for (int i = 0; i < 100 && window_ && session().windowName(window_).find("Online Mode") == std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(1500ms);  // a tick or two with every value
    session().xdotool({"windowactivate", "--sync", std::to_string(window_)});
}

ProgramOnScreen::~ProgramOnScreen() {
    stop();
    sim_->signal(SIGTERM);
    sim_->wait(5s);
    fs::remove_all(dir_);
}

// Only windows the window manager manages count: a popup of the dialog
// before (the file-name completer, a combo box's list) is none, but may still
// be on screen on a busy machine when the next dialog is looked for.
unsigned long ProgramOnScreen::dialog(unsigned long other) const {
    for (int i = 0; i < 100; ++i) {
        const std::string managed = e2e::run({"xprop", "-root", "_NET_CLIENT_LIST"}).out;
        std::istringstream ids(session().xdotool({"search", "--onlyvisible", "--pid", std::to_string(program_->pid())}));
        for (unsigned long id; ids >> id;) {
            char hex[32];
            std::snprintf(hex, sizeof hex, "0x%lx", id);
            const bool isManaged = std::regex_search(managed, std::regex(std::string(hex) + "\\b"));
            if (id != window_ && id != other && isManaged && session().clientRect(id).width() > 200) return id;
        }
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

QRect ProgramOnScreen::client() const { return session().clientRect(window_); }
QImage ProgramOnScreen::shot() const { return session().grab(client()); }
std::string ProgramOnScreen::errors() const { return readFile(dir_ / "program.err"); }

std::string ProgramOnScreen::stop() {
    program_->signal(SIGTERM);
    program_->wait(10s);
    return readFile(dir_ / "KvxDiagnostics.INI");
}

}  // namespace kvx::screen
