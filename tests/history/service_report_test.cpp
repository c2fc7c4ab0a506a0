// The service report through the poll engine: what a support engineer reads
// after a run with a one-tick fault, a controller restart and an offline
// period, in the text and the HTML form.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service_report/service_report.h"
#include "history_fixture.h"

namespace kvx::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// The lines from the heading `title` up to the next empty line.
std::vector<std::string> section(const std::string& text, const std::string& title) {
    const auto all = linesOf(text);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i] != title) continue;
        for (std::size_t j = i + 2; j < all.size() && !all[j].empty(); ++j) out.push_back(all[j]);
        break;
    }
    return out;
}

class ReportTest : public HistoryTest {
protected:
    ReportTest() {
        folder = fs::temp_directory_path() / ("kvx_report_" + std::to_string(::getpid()) + "_" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        settings.protocolFileName = (folder / "DiagProtocol.txt").string();
        settings.systemFileName = "/opt/kvx/SYSTEM.DAT";
        settings.selectedCard = 1;
    }
    ~ReportTest() override {
        protocol.close();
        fs::remove_all(folder);
    }

    // Healthy, emergency out for one tick, healthy, restart, offline, back.
    void runScenario() {
        protocol.open(settings.protocolFileName);
        fixedRunCounter = true;
        ctl.setStatus(StatusRecord::kRunCounter, 5000);
        tickAt(0);
        setEmergencyOut(0, true);
        ctl.setStatus(StatusRecord::kRunCounter, 5001);
        ctl.setStatus(StatusRecord::kTimeoutErrors, 3);
        tickAt(61);
        setEmergencyOut(0, false);
        ctl.setStatus(StatusRecord::kRunCounter, 5002);
        ctl.setStatus(StatusRecord::kMaxCycleTime, 1900);
        tickAt(62);
        ctl.setStatus(StatusRecord::kRunCounter, 4);  // the controller restarted
        ctl.setStatus(StatusRecord::kMaxCycleTime, 1300);
        ctl.setStatus(StatusRecord::kTimeoutErrors, 0);
        tickAt(63);
        ctl.initResult = 34;
        tickAt(64);
        ctl.initResult = 0;
        ctl.setStatus(StatusRecord::kRunCounter, 6);
        tickAt(69);
    }

    ReportSources sources() {
        return ReportSources{model, settings, history, timeAt(70), "KvxDiagnostics", 3};
    }

    fs::path folder;
};

TEST_F(ReportTest, TextReportHoldsTheHistoryEventsAndCounters) {
    runScenario();
    const std::string text = reportText(sources());

    EXPECT_EQ(linesOf(text).at(0), "KvxDiagnostics service report");
    EXPECT_EQ(linesOf(text).at(2), "Generated 2024/03/05 - 08:01:10 by KvxDiagnostics after 6 ticks (5 online).");
    EXPECT_EQ(section(text, "Fault history"),
              (std::vector<std::string>{
                  "  Fault                                    Class                        First seen             "
                  "Last seen              Occurrences  Ticks  State                   Reset by",
                  "  Emergency Out is active! at Axis 1       0x00010 Emergency out        2024/03/05 - 08:01:01  "
                  "2024/03/05 - 08:01:01  1            1      gone, not acknowledged  controller",
                  "  Internal Data handling Errors detected!  0x01000 Link error counters  2024/03/05 - 08:01:01  "
                  "2024/03/05 - 08:01:02  1            2      gone, not acknowledged  double-click",
                  "  Timing Errors detected!                  0x02000 Cycle timing         2024/03/05 - 08:01:02  "
                  "2024/03/05 - 08:01:02  1            1      gone, not acknowledged  double-click"}));
    EXPECT_EQ(section(text, "Events"),
              (std::vector<std::string>{
                  "  Time                   Event               Detail",
                  "  2024/03/05 - 08:01:03  Controller restart  run counter went back",
                  "  2024/03/05 - 08:01:04  Offline             initialisation result 34, back online "
                  "2024/03/05 - 08:01:09 after 5 s"}));
    EXPECT_EQ(section(text, "Counters and trends"),
              (std::vector<std::string>{
                  "  Link error counter  Now  Increase, last hour",
                  "  DMA read            0    0",
                  "  DMA write           0    0",
                  "  Timeout             0    3",
                  "  RX data             0    0",
                  "  RX com.             0    0",
                  "Cycle time now: min 1200 µs, max 1300 µs; band 895 to 1791 µs for a sample time of 1280 µs.",
                  "Worst cycle time of the run: 1900 µs at 2024/03/05 - 08:01:02 (upper limit 1791 µs).",
                  "Online ticks with a cycle time outside its band: 1.",
                  "  Minute from            DMA read  DMA write  Timeout  RX data  RX com.",
                  "  2024/03/05 - 08:01:01  0         0          3        0        0"}));
    EXPECT_EQ(section(text, "Active faults"),
              (std::vector<std::string>{"  Error summary of the last tick", "  No errors detected!"}));
}

TEST_F(ReportTest, AcknowledgedEntriesAndActiveFaultsAreShownAsSuch) {
    protocol.open(settings.protocolFileName);
    tickAt(0);
    ctl.tasks[1].errorNumber = 12;
    ctl.tasks[1].errorLine = 40;
    ctl.tasks[1].state = 1;
    ctl.tasks[1].fileName = "MAIN.QSL";
    tickAt(1);
    history.faults().acknowledgeAll();
    const std::string text = reportText(sources());

    EXPECT_EQ(section(text, "Fault history").at(1),
              "! Runtime error at Task-1 detected!  0x00200 Task 1 runtime error  2024/03/05 - 08:00:01  "
              "2024/03/05 - 08:00:01  1            1      active  controller");
    EXPECT_EQ(section(text, "Tasks"), (std::vector<std::string>{"  Task  File      State  Error  Line",
                                                                  "  0     none      stop   0      0",
                                                                  "! 1     MAIN.QSL  run    12     40",
                                                                  "  2     none      stop   0      0",
                                                                  "  3     none      stop   0      0"}));
    EXPECT_EQ(section(text, "Active faults"),
              (std::vector<std::string>{"  Error summary of the last tick", "  Runtime error at Task-1 detected!"}));
    EXPECT_EQ(section(text, "Events"),
              std::vector<std::string>{"No controller restart and no offline period in this run."});
}

TEST_F(ReportTest, IdentitySettingsAndProtocolRecords) {
    runScenario();
    model.setText("laDllName", "kvxg3x.dll: 2.5.3.99");
    const std::string text = reportText(sources());

    // Every row has its value, also where the window shows it in the
    // caption or beside it in another control.
    const auto identity = section(text, "Identity and versions");
    EXPECT_EQ(identity, (std::vector<std::string>{"  Item              Value",
                                                  "  kvxg3x.dll        2.5.3.99",
                                                  "  Miniport Version  51.23d",
                                                  "  TAVOS.ELF         TAVOS.48",
                                                  "  PLD Rev.Nr.       7",
                                                  "  EPM Base          05",
                                                  "  EPM Option        06",
                                                  "  Card Nr.          0"}));
    const std::string html = reportHtml(sources());
    EXPECT_NE(html.find("<tr><td>kvxg3x.dll</td><td>2.5.3.99</td></tr>"), std::string::npos);
    EXPECT_NE(html.find("<tr><td>Card Nr.</td><td>0</td></tr>"), std::string::npos);
    EXPECT_EQ(html.find("<td></td>"), std::string::npos);
    const auto settingsSection = section(text, "Settings in force");
    EXPECT_EQ(settingsSection.at(2), "  SystemFileName              /opt/kvx/SYSTEM.DAT");
    EXPECT_EQ(settingsSection.at(5), "  TryToBoot                   0");
    EXPECT_EQ(settingsSection.at(6), "  Selected card               1");

    // The protocol's last three records: the timing block, the restart, the
    // offline block (coming back raises no new class, so no block).
    const auto records = lastProtocolRecords(settings.protocolFileName, 3);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], (std::vector<std::string>{"2024/03/05 - 08:01:02:", "Internal Data handling Errors detected!",
                                                    "Timing Errors detected!"}));
    EXPECT_EQ(records[1], (std::vector<std::string>{"2024/03/05 - 08:01:03: System has been rebooted"}));
    EXPECT_EQ(records[2], (std::vector<std::string>{"2024/03/05 - 08:01:04:", "System is offline:",
                                                    "Boot System in Application", "or check monitor screen in bootmon!",
                                                    "Miniport Driver not available!"}));
    const auto tail = section(text, "Last protocol records");
    EXPECT_EQ(tail, (std::vector<std::string>{"2024/03/05 - 08:01:02:", "Internal Data handling Errors detected!",
                                              "Timing Errors detected!"}));

    // Of a replay: the recorded run's files, said to be its, not the replay's copies.
    ReportSources replayed = sources();
    replayed.recordedRun = RecordedRunFiles{"/home/tech/KvxDiagnostics.INI", "/var/log/kvx/DiagProtocol.txt", ""};
    const std::string replayText = reportText(replayed);
    EXPECT_EQ(replayText.rfind("KvxDiagnostics service report of a replay\n", 0), 0u) << replayText;
    EXPECT_NE(replayText.find("Made from a replay of a recorded run (its settings file "
                              "/home/tech/KvxDiagnostics.INI): the times are the recorded ones."),
              std::string::npos);
    EXPECT_NE(reportHtml(replayed).find("<h1>KvxDiagnostics service report of a replay</h1>"), std::string::npos);
    EXPECT_EQ(reportText(sources()).find("replay"), std::string::npos);
    const auto recorded = section(reportText(replayed), "Settings in force");
    EXPECT_EQ(recorded.at(1), "  Settings file of the recorded run      /home/tech/KvxDiagnostics.INI");
    EXPECT_EQ(recorded.at(4), "  Protocol FileName of the recorded run  /var/log/kvx/DiagProtocol.txt");
    EXPECT_EQ(section(reportText(replayed), "Last protocol records").at(0),
              "As the replay of the recorded run wrote them again:");
}

TEST_F(ReportTest, HtmlIsSelfContainedAndEscaped) {
    runScenario();
    settings.remoteUrl = "http://host/<kvx>&x";
    const std::string html = reportHtml(sources());

    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
    EXPECT_NE(html.find("<h2>Fault history</h2>"), std::string::npos);
    EXPECT_NE(html.find("<td>Emergency Out is active! at Axis 1</td>"), std::string::npos);
    EXPECT_NE(html.find("<td>http://host/&lt;kvx&gt;&amp;x</td>"), std::string::npos);
    EXPECT_NE(html.find("<pre>2024/03/05 - 08:01:03: System has been rebooted\n</pre>"), std::string::npos);
    EXPECT_NE(html.find("<polyline class=\"max\""), std::string::npos);
    EXPECT_NE(html.find("fill=\"#c00000\">worst 1900 µs</text>"), std::string::npos);
    // Nothing is fetched from elsewhere.
    EXPECT_EQ(html.find("src="), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
}

TEST_F(ReportTest, WritesBothFilesAndReportsAFolderThatIsNotThere) {
    runScenario();
    const std::string htmlPath = (folder / "service.html").string();
    std::string error;
    ASSERT_TRUE(writeServiceReport(sources(), htmlPath, &error));
    std::ifstream html(htmlPath), text(folder / "service.txt");
    std::stringstream h, t;
    h << html.rdbuf();
    t << text.rdbuf();
    EXPECT_EQ(h.str(), reportHtml(sources()));
    EXPECT_EQ(t.str(), reportText(sources()));

    EXPECT_FALSE(writeServiceReport(sources(), (folder / "missing" / "r.html").string(), &error));
    EXPECT_EQ(error, "Cannot write " + (folder / "missing" / "r.html").string());
}

TEST(ReportHelpers, TextPathAndEscaping) {
    EXPECT_EQ(textReportPath("/tmp/a.html"), "/tmp/a.txt");
    EXPECT_EQ(textReportPath("/tmp.d/report"), "/tmp.d/report.txt");
    EXPECT_EQ(htmlEscape("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
    EXPECT_TRUE(lastProtocolRecords("/nonexistent/DiagProtocol.txt", 5).empty());
}

}  // namespace
}  // namespace kvx::test
