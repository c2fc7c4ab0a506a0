// The service report the real program writes, as a browser shows it: loaded
// into headless Chromium, every row of the identity and board tables has its
// value in the page the browser built, and the page renders (a screenshot
// with the task error row in red).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <QImage>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e/process.h"
#include "screen/screen_session.h"

namespace kvx::screen {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBin = KVX_BIN_DIR;

constexpr const char* kScenario =
    "[card 0]\nboard_type = 4\ntavos_name = TAVOS\nos_version = 253048\npld_revision = 7\nsample_time = 1280\n"
    "env SerialNumber = 20004711\nenv SerialNumberOXT = 21004711\noption 62 = 0x05\noption 63 = -1\naxes = 2\n"
    "[axis 1]\nlimit = 5\n[axis 2]\nlimit = 5\n[task 1]\nfile = PALLET.QSL\nerror = -123456\nline = 88\n";

std::vector<std::string> chromium(const fs::path& profile, std::vector<std::string> args) {
    std::vector<std::string> argv{"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                  "--no-first-run", "--user-data-dir=" + profile.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The rows of the table under the heading `title` in the browser's page.
std::vector<std::pair<std::string, std::string>> tableRows(const std::string& dom, const std::string& title) {
    std::vector<std::pair<std::string, std::string>> rows;
    const auto start = dom.find("<h2>" + title + "</h2>");
    if (start == std::string::npos) return rows;
    const std::string table = dom.substr(start, dom.find("</table>", start) - start);
    const std::regex row("<tr(?: class=\"fault\")?><td>([^<]*)</td><td>([^<]*)</td></tr>");
    for (auto it = std::sregex_iterator(table.begin(), table.end(), row); it != std::sregex_iterator(); ++it)
        rows.emplace_back((*it)[1], (*it)[2]);
    return rows;
}

}  // namespace

TEST(ReportInBrowser, EveryRowHasItsValueAndThePageRenders) {
    std::string pattern = (fs::temp_directory_path() / "kvx-report-XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    std::ofstream(dir / "scenario.scn") << kScenario;
    std::ofstream(dir / "KvxDiagnostics.INI") << "[PROTOCOL]\nFileName=" << (dir / "DiagProtocol.txt").string() << "\n";
    const std::string socket = (dir / "sim.sock").string();
    {
        e2e::Process sim({{(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket", socket,
                           "--no-http", "--quiet"},
                          {},
                          dir.string(),
                          (dir / "sim.err").string()});
        for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(25ms);
        const auto run = e2e::run({(kBin / "KvxDiagnostics").string(), "--console", "--ticks", "3", "--interval-ms",
                                   "100", "--settings", (dir / "KvxDiagnostics.INI").string(), "--report",
                                   (dir / "report.html").string()},
                                  30s, {{"KVXSIM_SOCKET", socket}, {"XDG_CONFIG_HOME", dir.string()}});
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    const std::string url = "file://" + (dir / "report.html").string();

    const auto dom = e2e::run(chromium(dir / "chrome", {"--dump-dom", url}), 60s);
    ASSERT_NE(dom.out.find("<h1>KvxDiagnostics service report</h1>"), std::string::npos) << dom.err;
    std::map<std::string, std::string> values;
    for (const char* title : {"Identity and versions", "Board details", "Settings in force"}) {
        const auto rows = tableRows(dom.out, title);
        EXPECT_GE(rows.size(), 5u) << title;
        for (const auto& [caption, value] : rows) {
            EXPECT_FALSE(value.empty()) << title << ": " << caption;
            values[caption] = value;
        }
    }
    EXPECT_EQ(values["kvxg3.dll"].rfind("2.5.3.", 0), 0u);
    EXPECT_EQ(values["Card Nr."], "0");
    EXPECT_EQ(values["Serial Number KVX-2000/PXB-5001"], "20004711");

    const fs::path png = dir / "report.png";
    e2e::run(chromium(dir / "chrome", {"--screenshot=" + png.string(), "--window-size=1000,1500", url}), 60s);
    const QImage page(QString::fromStdString(png.string()));
    ASSERT_FALSE(page.isNull());
    saveShot(page, "service-report.png");
    int red = 0;  // the fault rows: the task with its error, the active fault
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x) {
            const QRgb p = page.pixel(x, y);
            red += qRed(p) > 150 && qGreen(p) < 60 && qBlue(p) < 60;
        }
    EXPECT_GT(red, 50);
    fs::remove_all(dir);
}

}  // namespace kvx::screen
