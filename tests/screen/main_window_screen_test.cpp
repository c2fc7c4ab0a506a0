// The real program's window on an X server with a window manager, on the
// simulated controller: Tab sent as a key, the task error fields and the
// board rows read off the screen, the summary docked in a short window.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QFontMetrics>
#include <QThread>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e/process.h"
#include "screen/read_text.h"
#include "screen/screen_session.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBin = KVX_BIN_DIR;
const QColor kBlue(0, 0, 255), kRed(255, 0, 0), kBlack(0, 0, 0);

constexpr const char* kKvx2000 =
    "[card 0]\nboard_type = 4\ntavos_name = TAVOS\nos_version = 253048\npld_revision = 7\nsample_time = 1280\n"
    "env SerialNumber = 20004711\nenv SerialNumberOXT = 21004711\noption 62 = 0x05\noption 63 = -1\naxes = 2\n"
    "[axis 1]\nlimit = 5\n[axis 2]\nlimit = 5\n"
    "[task 0]\nfile = MAIN.QSL\nstate = 1\n"
    "[task 1]\nfile = PALLET.QSL\nerror = -123456\nline = -2147483648\n";

// Module 1 reports a status error, so the option row's caption grows.
constexpr const char* kKvx4000 =
    "[card 0]\nboard_type = 8\ntavos_name = TAVOS\nos_version = 253048\npld_revision = 4\nsample_time = 1000\n"
    "env SerialNumber = 40000777\naxes = 4\n"
    "[module 0]\nstatus = 0x10\nchecksum = 0x1A2B\n[module 1]\nstatus = 0x90\nchecksum = 0x00FF\n";

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

// The simulator on a scenario and the program in super-user mode on it, in a
// folder of their own; the window opens at the design size.
class ProgramOnScreen {
public:
    explicit ProgramOnScreen(const char* scenario) {
        std::string pattern = (fs::temp_directory_path() / "kvx-screen-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        std::ofstream(dir_ / "scenario.scn") << scenario;
        std::ofstream(dir_ / "KvxDiagnostics.INI")
            << "[DESKTOP]\nLeft=40\nTop=40\nWidth=757\nHeight=677\n[PROTOCOL]\nFileName="
            << (dir_ / "DiagProtocol.txt").string() << "\n";
        const std::string socket = (dir_ / "sim.sock").string();
        sim_ = std::make_unique<e2e::Process>(e2e::Process::Options{
            {(kBin / "kvxsim").string(), "--scenario", (dir_ / "scenario.scn").string(), "--socket", socket,
             "--no-http", "--quiet"},
            {},
            dir_.string(),
            (dir_ / "sim.err").string()});
        for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(25ms);
        program_ = std::make_unique<e2e::Process>(e2e::Process::Options{
            {(kBin / "KvxDiagnostics").string(), "/SU", "--settings", (dir_ / "KvxDiagnostics.INI").string()},
            {{"KVXSIM_SOCKET", socket}, {"XDG_CONFIG_HOME", dir_.string()}, {"QT_QPA_PLATFORM", "xcb"}},
            dir_.string(),
            (dir_ / "program.err").string()});
        window_ = session().windowOf(program_->pid());
        for (int i = 0; i < 100 && window_ && session().windowName(window_).find("Online Mode") == std::string::npos; ++i)
            std::this_thread::sleep_for(100ms);
        std::this_thread::sleep_for(1500ms);  // a tick or two with every value
        session().xdotool({"windowactivate", "--sync", std::to_string(window_)});
    }
    ~ProgramOnScreen() {
        stop();
        sim_->signal(SIGTERM);
        sim_->wait(5s);
        fs::remove_all(dir_);
    }

    unsigned long window() const { return window_; }
    QRect client() const { return session().clientRect(window_); }
    QImage shot() const { return session().grab(client()); }
    std::string errors() const { return readFile(dir_ / "program.err"); }
    // Closes the program as a stop signal does (settings written) and gives its settings file.
    std::string stop() {
        program_->signal(SIGTERM);
        program_->wait(10s);
        return readFile(dir_ / "KvxDiagnostics.INI");
    }

private:
    fs::path dir_;
    std::unique_ptr<e2e::Process> sim_, program_;
    unsigned long window_ = 0;
};

// Pixels of the focus colour (the style's highlight, as it frames the focused
// control or marks the text Tab selected); grey and the blue of values are not.
int focusPixels(const QImage& shot, const QRect& area) {
    int n = 0;
    for (int y = std::max(0, area.top()); y <= std::min(shot.height() - 1, area.bottom()); ++y)
        for (int x = std::max(0, area.left()); x <= std::min(shot.width() - 1, area.right()); ++x) {
            const QRgb p = shot.pixel(x, y);
            n += qBlue(p) - qRed(p) > 20 && qGreen(p) - qRed(p) > 10;
        }
    return n;
}

// The focused control of the window at the design size, by where it stands.
std::string focused(const QImage& shot) {
    const std::pair<const char*, QRect> controls[] = {
        {"cbStayOnTop", {642, 66, 101, 26}},     {"cbCardNr", {694, 34, 45, 26}},
        {"buReboot", {510, 63, 95, 28}},         {"cbGetFileNames", {486, 38, 110, 22}},
        {"cbUseWebServices", {470, 14, 112, 22}}, {"meErrorSummary", {0, 677 - 183 + 8, 757, 183 - 8}}};
    std::string best;
    int most = 8;  // a few stray pixels are no focus frame
    for (const auto& [name, area] : controls)
        if (const int n = focusPixels(shot, area); n > most) {
            most = n;
            best = name;
        }
    return best;
}

}  // namespace

TEST(MainWindowOnScreen, TabOrderErrorFieldsAndDockedSummary) {
    ASSERT_TRUE(session().ok());
    ProgramOnScreen program(kKvx2000);
    ASSERT_NE(program.window(), 0u) << program.errors();
    ASSERT_EQ(program.client().size(), QSize(757, 677));
    QImage shot = program.shot();
    saveShot(shot, "main-window.png");

    // Any 32-bit number whole, with its sign: task 1's row of the task group.
    const QRect taskRow1(380, 333 + 28 + 24 - 2, 757 - 380, 24);
    EXPECT_TRUE(findText(shot, taskRow1, "-123456", windowFont(true), kRed)) << "error number";
    EXPECT_TRUE(findText(shot, taskRow1, "-2147483648", windowFont(true), kRed)) << "error line";

    // Tab from the window mode on, round to where it started.
    std::vector<std::string> order;
    for (int i = 0; i < 6; ++i) {
        session().xdotool({"key", "--window", std::to_string(program.window()), "Tab"});
        QThread::msleep(300);
        order.push_back(focused(program.shot()));
        saveShot(program.shot(), "main-window-tab-" + std::to_string(i + 1) + ".png");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"cbCardNr", "buReboot", "cbGetFileNames", "cbUseWebServices",
                                               "meErrorSummary", "cbStayOnTop"}));

    // The history window opens at a size that shows every column, and the
    // settings keep where the user left it, under a key of its own.
    session().xdotool({"key", "--window", std::to_string(program.window()), "ctrl+h"});
    const unsigned long history = session().windowNamed("History and Trends");
    ASSERT_NE(history, 0u);
    QThread::msleep(500);
    const QImage historyShot = session().grab(session().clientRect(history));
    saveShot(historyShot, "history-window.png");
    EXPECT_TRUE(findText(historyShot, QRect(0, 0, historyShot.width(), 120), "Reset by", QApplication::font(), kBlack));
    session().xdotool({"windowsize", "--sync", std::to_string(history), "1010", "730"});
    QThread::msleep(300);

    // A short window: the summary keeps its design height at the bottom.
    session().xdotool({"windowsize", "--sync", std::to_string(program.window()), "757", "540"});
    QThread::msleep(500);
    ASSERT_EQ(program.client().height(), 540);
    shot = program.shot();
    saveShot(shot, "main-window-short.png");
    // The group box centres its caption at a fraction of a pixel: a looser match.
    const auto caption = findText(shot, QRect(0, 300, 200, 120), "Error Summary", windowFont(false), kBlack, 0.35);
    ASSERT_TRUE(caption);
    EXPECT_NEAR(caption->y(), 540 - 183, 2);

    const std::string settings = program.stop();
    EXPECT_TRUE(std::regex_search(settings, std::regex("\\[HistoryWindow\\]\nGeometry=-?\\d+,-?\\d+,1010,730\n")))
        << settings;
    EXPECT_NE(settings.find("[DESKTOP]\nLeft="), std::string::npos);
}

TEST(MainWindowOnScreen, Kvx4000RowsFollowTheirOwnCaptions) {
    ASSERT_TRUE(session().ok());
    ProgramOnScreen program(kKvx4000);
    ASSERT_NE(program.window(), 0u) << program.errors();
    const QImage shot = program.shot();
    saveShot(shot, "main-window-kvx4000.png");
    const QFontMetrics regular(windowFont(false));

    // The base serial number 4 pixels after its own caption, whatever the
    // module status list beside the option caption below it.
    const QString serialCaption = "Serial Number KVX-4000/PXB-5401: ";
    const auto serial = findText(shot, QRect(0, 97 + 40, 400, 22), serialCaption, windowFont(false), kBlack);
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->x(), 8);
    const int valueX = serial->x() + regular.horizontalAdvance(serialCaption) + 4;
    EXPECT_TRUE(findText(shot, QRect(valueX - 1, 97 + 40, 120, 22), "40000777", windowFont(true), kBlue));
    EXPECT_TRUE(findText(shot, QRect(0, 97 + 60, 500, 22), "ASMS Error at ASM# 1 (90 hex)", windowFont(false), kBlack));

    // "PLD Rev.Nr.: 4": the value right after its caption; the board and
    // FPGA version labels keep their "---" at their own places.
    const auto pld = findText(shot, QRect(0, 72, 200, 22), "PLD Rev.Nr.: ", windowFont(false), kBlack);
    ASSERT_TRUE(pld);
    const int pldX = pld->x() + regular.horizontalAdvance("PLD Rev.Nr.: ") + 4;
    const auto value = findText(shot, QRect(pldX - 1, 72, 12, 22), "4", windowFont(true), kBlue);
    ASSERT_TRUE(value);
    EXPECT_NEAR(value->x(), pldX, 1);
    EXPECT_TRUE(findText(shot, QRect(236, 72, 40, 22), "---", windowFont(true), kBlue));
}

}  // namespace kvx::screen
