// screen_docs FOLDER [SECONDS | layout]
// Draws the documentation's screenshots from the real program: the simulator
// on the lively scenario, the window in super-user mode on an X server of its
// own, left running for SECONDS (default 75) so that faults come and go and
// the controller restarts once; then the main window at its design size, at
// 700x560, 1000x677 and maximised, the history window's
// two pages, the trends zoomed by the wheel, and the service report the
// window writes, as headless Chromium shows it. With "layout" instead, on a
// 1920x1080 screen: the window on other boards at small sizes and at scale 2.
#include <QApplication>
#include <QImage>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "screen/program_on_screen.h"
#include "screen/screen_session.h"

namespace kvx::screen {
namespace {
ScreenSession* current = nullptr;
}
ScreenSession& session() { return *current; }
}  // namespace kvx::screen

namespace {

namespace fs = std::filesystem;
using namespace kvx::screen;
using namespace std::chrono_literals;

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

void save(const QImage& image, const fs::path& path) {
    std::printf("%s %s\n", image.save(QString::fromStdString(path.string())) ? "wrote" : "cannot write", path.c_str());
}

void clickAt(const QRect& client, int x, int y, const char* button = "1") {
    session().xdotool({"mousemove", "--sync", std::to_string(client.x() + x), std::to_string(client.y() + y)});
    session().xdotool({"click", button});
    std::this_thread::sleep_for(400ms);
}

// The window on a scenario of scenarios/, changed by kvxsimctl commands,
// at a client size of `size`.
void boardShot(const char* scenario, const std::vector<std::vector<std::string>>& commands, QSize size,
               const fs::path& file) {
    ProgramOnScreen program(readFile(fs::path(KVX_SOURCE_DIR) / "scenarios" / scenario));
    if (!program.window()) return;
    for (std::vector<std::string> command : commands) {
        command.insert(command.begin(), {std::string(KVX_BIN_DIR) + "/kvxsimctl", "--socket", program.socket()});
        kvx::e2e::run(command);
    }
    session().xdotool({"windowsize", "--sync", std::to_string(program.window()), std::to_string(size.width()),
                       std::to_string(size.height())});
    std::this_thread::sleep_for(2500ms);  // two ticks on the new state and size
    save(program.shot(), file);
}

void layoutShots(const fs::path& out) {
    boardShot("kvx2100.scn", {}, QSize(640, 450), out / "window-kvx2100-640x450.png");
    boardShot("kvx2000.scn", {{"set", "axes", "18"}, {"inject", "emergency-out", "axis", "all"}}, QSize(620, 500),
              out / "window-18-axes-620x500.png");
    // Scale 2: the design size does not fit the screen and is fitted to it,
    // which it then scrolls.
    ProgramOnScreen program(readFile(fs::path(KVX_SOURCE_DIR) / "scenarios" / "kvx2000.scn"),
                            {{"QT_SCALE_FACTOR", "2"}});
    if (program.window()) save(session().grab(QRect(0, 0, 1920, 1080)), out / "window-scale2-1920x1080.png");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: screen_docs FOLDER [SECONDS]\n");
        return 2;
    }
    const fs::path out = fs::absolute(argv[1]);
    const bool layoutOnly = argc > 2 && std::string(argv[2]) == "layout";
    const int seconds = argc > 2 && !layoutOnly ? std::atoi(argv[2]) : 75;
    ScreenSession screen(layoutOnly ? "1920x1080x24" : "1600x1000x24");
    current = &screen;
    if (!screen.ok()) return 1;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    if (layoutOnly) {
        layoutShots(out);
        return 0;
    }

    ProgramOnScreen program(readFile(fs::path(KVX_SOURCE_DIR) / "scenarios" / "lively.scn"));
    if (!program.window()) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    save(program.shot(), out / "screenshot-window.png");

    // The window at sizes a technician gives it: shorter and narrower than
    // designed (it scrolls), wider, and maximised from its title bar.
    const std::string window = std::to_string(program.window());
    for (const auto& [size, name] : {std::pair{QSize(700, 560), "window-700x560.png"},
                                     std::pair{QSize(1000, 677), "window-1000x677.png"}}) {
        session().xdotool({"windowsize", "--sync", window, std::to_string(size.width()), std::to_string(size.height())});
        std::this_thread::sleep_for(1500ms);  // a tick on the new size
        save(program.shot(), out / name);
    }
    const auto doubleClickTitle = [&] {
        const QRect c = program.client();
        session().xdotool({"mousemove", "--sync", std::to_string(c.x() + 200), std::to_string(c.y() - 8)});
        session().xdotool({"click", "--repeat", "2", "--delay", "80", "1"});
        std::this_thread::sleep_for(1500ms);
    };
    doubleClickTitle();
    save(program.shot(), out / "window-maximised.png");
    doubleClickTitle();
    session().xdotool({"windowsize", "--sync", window, "757", "677"});

    session().xdotool({"key", "--window", std::to_string(program.window()), "ctrl+h"});
    const unsigned long history = session().windowNamed("History and Trends");
    if (!history) return 1;
    std::this_thread::sleep_for(600ms);
    const QRect client = session().clientRect(history);
    save(session().grab(client), out / "history-faults.png");

    clickAt(client, 140, 24);  // the "Trends" tab
    save(session().grab(client), out / "history-trends.png");
    session().xdotool({"mousemove", "--sync", std::to_string(client.x() + client.width() * 2 / 3),
                       std::to_string(client.y() + 180)});
    for (int notch = 0; notch < 2; ++notch) session().xdotool({"click", "4"});
    std::this_thread::sleep_for(500ms);
    save(session().grab(client), out / "history-trends-zoomed.png");

    // "Service report...", then the file name typed into the save dialog.
    const fs::path report = program.folder() / "KvxServiceReport.html";
    clickAt(client, 62, client.height() - 22);
    const unsigned long dialog = session().windowNamed("Write service report");
    if (!dialog) return 1;
    session().xdotool({"key", "--window", std::to_string(dialog), "ctrl+a"});
    session().xdotool({"type", "--window", std::to_string(dialog), report.string()});
    session().xdotool({"key", "--window", std::to_string(dialog), "Return"});
    for (int i = 0; i < 50 && !fs::exists(report); ++i) std::this_thread::sleep_for(100ms);
    const auto shot = kvx::e2e::run({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-background-networking", "--disable-component-update",
                                     "--disable-sync", "--no-first-run",
                                     "--user-data-dir=" + (program.folder() / "chrome").string(),
                                     "--screenshot=" + (out / "service-report.png").string(),
                                     "--window-size=1000,1400", "file://" + report.string()},
                                    60s);
    std::printf("%s %s\n", fs::exists(out / "service-report.png") ? "wrote" : "cannot write",
                (out / "service-report.png").c_str());
    return shot.exitCode == 0 ? 0 : 1;
}
