// The real program's window on an X server with a window manager, on the
// simulated controller: Tab sent as a key, the task error fields and the
// board rows read off the screen, the summary docked in a short window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QThread>

#include <fstream>
#include <regex>

#include "e2e/process.h"
#include "screen/program_on_screen.h"
#include "screen/read_text.h"
#include "screen/screen_session.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

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

void clickAt(const QRect& client, int x, int y) {
    session().xdotool({"mousemove", "--sync", std::to_string(client.x() + x), std::to_string(client.y() + y)});
    session().xdotool({"click", "1"});
    QThread::msleep(300);
}

// Types a file name into the open file dialog and opens it.
void openInDialog(unsigned long dialog, const std::string& file) {
    session().xdotool({"windowactivate", "--sync", std::to_string(dialog)});
    session().xdotool({"key", "ctrl+a"});
    session().xdotool({"type", file});
    session().xdotool({"key", "Return"});
}

}  // namespace

TEST(MainWindowOnScreen, TabOrderErrorFieldsAndDockedSummary) {
    ASSERT_TRUE(session().ok());
    ProgramOnScreen program(kKvx2000);
    ASSERT_NE(program.window(), 0u) << program.errors();
    ASSERT_EQ(program.client().size(), QSize(757, 677));
    // Any 32-bit number whole, with its sign: task 1's row of the task group.
    const QRect taskRow1(380, 333 + 28 + 24 - 2, 757 - 380, 24);
    const auto [shot, errorNumber] = eventually([&] { return program.shot(); }, [&](const QImage& s) {
        return findText(s, taskRow1, "-123456", windowFont(true), kRed);
    });
    saveShot(shot, "main-window.png");
    EXPECT_TRUE(errorNumber) << "error number";
    EXPECT_TRUE(findText(shot, taskRow1, "-2147483648", windowFont(true), kRed)) << "error line";

    // Tab from the window mode on, round to where it started.
    const std::vector<std::string> expected{"cbCardNr",         "buReboot",       "cbGetFileNames",
                                            "cbUseWebServices", "meErrorSummary", "cbStayOnTop"};
    std::vector<std::string> order;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        session().xdotool({"key", "--window", std::to_string(program.window()), "Tab"});
        std::string now;
        const auto [tabShot, moved] = eventually([&] { return program.shot(); },
                                                 [&](const QImage& s) { return (now = focused(s)) == expected[i]; });
        order.push_back(now);
        saveShot(tabShot, "main-window-tab-" + std::to_string(i + 1) + ".png");
    }
    EXPECT_EQ(order, expected);

    // The history window opens at a size that shows every column, and the
    // settings keep where the user left it, under a key of its own.
    session().xdotool({"key", "--window", std::to_string(program.window()), "ctrl+h"});
    const unsigned long history = session().windowNamed("History and Trends");
    ASSERT_NE(history, 0u);
    const auto [historyShot, resetBy] = eventually(
        [&] { return session().grab(session().clientRect(history)); },
        [](const QImage& s) { return findText(s, QRect(0, 0, s.width(), 120), "Reset by", QApplication::font(), kBlack); });
    saveShot(historyShot, "history-window.png");
    EXPECT_TRUE(resetBy);
    session().xdotool({"windowsize", "--sync", std::to_string(history), "1010", "730"});
    QThread::msleep(300);

    // A short window: the summary keeps its design height at the bottom,
    // below every task row; the wheel scrolls down to it.
    session().xdotool({"windowsize", "--sync", std::to_string(program.window()), "757", "540"});
    ASSERT_EQ(program.client().height(), 540);
    session().xdotool({"mousemove", "--sync", std::to_string(program.client().x() + 300),
                       std::to_string(program.client().y() + 200)});
    session().xdotool({"click", "--repeat", "10", "--delay", "30", "5"});
    // The group box centres its caption at a fraction of a pixel: a looser match.
    const auto [shortShot, caption] = eventually([&] { return program.shot(); }, [](const QImage& s) {
        const auto at = findText(s, QRect(0, 300, 200, 120), "Error Summary", windowFont(false), kBlack, 0.35);
        return at && std::abs(at->y() - (540 - 183)) <= 2 ? at : std::optional<QPoint>();
    });
    saveShot(shortShot, "main-window-short.png");
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
    const auto [shot, moduleStatus] = eventually([&] { return program.shot(); }, [](const QImage& s) {
        return findText(s, QRect(0, 97 + 60, 500, 22), "ASMS Error at ASM# 1 (90 hex)", windowFont(false), kBlack);
    });
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
    EXPECT_TRUE(moduleStatus);

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

// Boot System asking for the files: the system-file dialog opens with the
// system files, and so does the second one, after the controller refused the
// first pair (version conflict) and the user picked the boot file again.
TEST(MainWindowOnScreen, SecondSystemFileDialogKeepsItsFilter) {
    ASSERT_TRUE(session().ok());
    ProgramOnScreen program(kKvx2000);
    ASSERT_NE(program.window(), 0u) << program.errors();
    const auto boot = program.folder() / "TAVOS.elf", system = program.folder() / "SYSTEM.dat";
    std::ofstream(boot) << "boot";
    std::ofstream(system) << "system";
    const QRect client = program.client();
    clickAt(client, 540, 48);  // "Get File Names"
    clickAt(client, 512 + 45, 64 + 12);  // "Boot System"

    const unsigned long bootDialog = program.dialog();
    ASSERT_NE(bootDialog, 0u);
    openInDialog(bootDialog, boot.string());
    const unsigned long first = program.dialog(bootDialog);
    ASSERT_NE(first, 0u);
    // The filter stands in the "Files of type" row at the dialog's foot; a
    // search of that row alone stays quick on a busy machine.
    const auto systemFilter = [](const QImage& s) {
        return findText(s, QRect(0, s.height() - 60, s.width(), 60), "Systemdatei (*.dat)", QApplication::font(),
                        kBlack);
    };
    const auto [firstShot, firstFilter] =
        eventually([&] { return session().grab(session().clientRect(first)); }, systemFilter, std::chrono::seconds(20));
    saveShot(firstShot, "boot-system-first-dialog.png");
    EXPECT_TRUE(firstFilter) << "window " << first << " \"" << session().windowName(first) << "\" after "
                             << bootDialog << " \"" << session().windowName(bootDialog) << "\"";

    e2e::run({std::string(KVX_BIN_DIR) + "/kvxsimctl", "--socket", program.socket(), "offline", "33"});
    openInDialog(first, system.string());
    const unsigned long bootAgain = program.dialog(first);
    ASSERT_NE(bootAgain, 0u);
    openInDialog(bootAgain, boot.string());  // the boot brings the controller back
    const unsigned long second = program.dialog(bootAgain);
    ASSERT_NE(second, 0u);
    const auto [secondShot, secondFilter] =
        eventually([&] { return session().grab(session().clientRect(second)); }, systemFilter, std::chrono::seconds(20));
    saveShot(secondShot, "boot-system-second-dialog.png");
    EXPECT_TRUE(secondFilter) << "window " << second << " \"" << session().windowName(second) << "\"";
    EXPECT_FALSE(findText(secondShot, secondShot.rect(), "ELF-File (*.elf)", QApplication::font(), kBlack));
    session().xdotool({"key", "Escape"});
}

}  // namespace kvx::screen
