// Scenario files: what a valid file gives, and that every refusal names the
// line and the field.
#include <gtest/gtest.h>

#include <sstream>

#include "model/scenario.h"

namespace kvxsim {
namespace {

Scenario parse(const std::string& text) {
    std::istringstream in(text);
    return parseScenario(in, "test.scn");
}

// The message of the refusal, or "accepted".
std::string refusal(const std::string& text) {
    try {
        parse(text);
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "accepted";
}

TEST(ScenarioFile, ReadsEveryCardKey) {
    Scenario s = parse(R"(# comment
[card 0]
board_type = 32
init_result = 20
tavos_name = TAVOS-X
os_version = 253037
pld_revision = 0x0A
sample_time = 1000
miniport_version = 0x0A121
error_register = 0x10
interface_status = 0x0B
min_cycle = 700
max_cycle = 1400
run_counter = 5000
dma_read = 1
dma_write = 2
timeout = 3
rx_data = 4
rx_com = 5
option 62 = 0x0105
option 63 = -1
option 122 = none
env SerialNumber = 42 A
env SerialNumberOXT =
)");
    ASSERT_EQ(s.cards.size(), 1u);
    const CardState& c = s.cards[0];
    EXPECT_EQ(c.boardType, 32);
    EXPECT_EQ(c.initResult, 20);
    EXPECT_EQ(c.tavosName, "TAVOS-X");
    EXPECT_EQ(c.osVersion, 253037);
    EXPECT_EQ(c.pldRevision, 10);
    EXPECT_EQ(c.sampleTimeUs, 1000);
    EXPECT_EQ(c.miniportVersion, 0x0A121u);
    EXPECT_EQ(c.errorRegister, 0x10u);
    EXPECT_EQ(c.interfaceStatus, 0x0Bu);
    EXPECT_EQ(c.minCycleTime, 700u);
    EXPECT_EQ(c.maxCycleTime, 1400u);
    EXPECT_EQ(c.runCounterStart, 5000u);
    EXPECT_EQ(c.linkCounters, (std::array<std::uint32_t, 5>{1, 2, 3, 4, 5}));
    EXPECT_EQ(c.options.at(62).value, 0x0105);
    EXPECT_EQ(c.options.at(63).value, -1);
    EXPECT_FALSE(c.options.at(122).readable);
    EXPECT_TRUE(c.options.at(123).readable);
    EXPECT_EQ(c.environment.at("SerialNumber"), "42 A");
    // An empty value removes the variable, so getEnvStr finds nothing.
    EXPECT_EQ(c.environment.count("SerialNumberOXT"), 0u);
}

TEST(ScenarioFile, AxesModulesTasksAndAxisCount) {
    Scenario s = parse(R"([card]
board_type = 8
[axis 2]
state = 0x282
limit = 0
encoder_error = yes
[module 1]
status = 0x90
checksum = 0x1A2B
timeout = yes
[task 3]
file = MAIN.QSL
state = 3
error = -7
line = 12
)");
    const CardState& c = s.cards[0];
    // Without "axes" the highest described record decides: module 1 lives in axis record 2.
    EXPECT_EQ(c.axisCount, 3);
    EXPECT_EQ(c.axes[1].stateWord, 0x282u);
    EXPECT_EQ(c.axes[1].maxPositionErrorLimit, 0.0);
    EXPECT_TRUE(c.axes[1].encoderError);
    EXPECT_EQ(c.axes[2].statusWord, 0x90u);
    EXPECT_EQ(c.axes[2].epromCheckSum, 0x1A2Bu);
    EXPECT_EQ(c.axes[2].stateWord, 0x1u);
    EXPECT_EQ(c.tasks[3].fileName, "MAIN.QSL");
    EXPECT_EQ(c.tasks[3].state, 3u);
    EXPECT_EQ(c.tasks[3].errorNumber, -7);
    EXPECT_EQ(c.tasks[3].errorLine, 12);
}

TEST(ScenarioFile, SeveralCardsAndTimeline) {
    Scenario s = parse(R"([card 0]
axes = 2
[card 1]
board_type = 16
[timeline]
at 2.5 = inject emergency-out axis 1
every 10 = card 1 increment rx-data 2
every 30 from 5 = restart
)");
    ASSERT_EQ(s.cards.size(), 2u);
    EXPECT_EQ(s.cards[0].axisCount, 2);
    EXPECT_EQ(s.cards[1].boardType, 16);
    EXPECT_EQ(s.cards[1].axisCount, 0);
    ASSERT_EQ(s.timeline.size(), 3u);
    EXPECT_EQ(s.timeline[0].atSeconds, 2.5);
    EXPECT_EQ(s.timeline[0].everySeconds, 0.0);
    EXPECT_EQ(s.timeline[0].line, 6);
    EXPECT_EQ(s.timeline[1].atSeconds, 10.0);
    EXPECT_EQ(s.timeline[1].everySeconds, 10.0);
    EXPECT_EQ(s.timeline[1].command.card, 1);
    EXPECT_EQ(s.timeline[2].atSeconds, 5.0);
    EXPECT_EQ(s.timeline[2].everySeconds, 30.0);
}

TEST(ScenarioFile, RefusalsNameLineAndField) {
    EXPECT_EQ(refusal("[card 0]\nboard_type = four\n"),
              "test.scn:2: field \"board_type\": value \"four\": not a number");
    EXPECT_EQ(refusal("[card 0]\n\n# note\nbord_type = 4\n").substr(0, 35),
              "test.scn:4: field \"bord_type\": unkn");
    EXPECT_EQ(refusal("[card 0]\naxes = 19\n"),
              "test.scn:2: field \"axes\": value \"19\": out of range 0 .. 18");
    EXPECT_EQ(refusal("[card 0]\n[axis 19]\n"),
              "test.scn:2: field \"axis\": number \"19\": out of range 1 .. 18");
    EXPECT_EQ(refusal("[card 0]\naxes = 2\n[axis 3]\nlimit = 1\n"),
              "test.scn:3: field \"axes\": a section describes axis 3 but axes = 2");
    EXPECT_EQ(refusal("[card 0]\n[axis 1]\nencoder_error = maybe\n"),
              "test.scn:3: field \"encoder_error\": value \"maybe\": expected yes or no");
    EXPECT_EQ(refusal("[card 0]\n[task 4]\n"),
              "test.scn:2: field \"task\": number \"4\": out of range 0 .. 3");
    EXPECT_EQ(refusal("[card 0]\nsample_time = 1280\nsample_time = 1000\n"),
              "test.scn:3: field \"sample_time\": given twice in this section");
    EXPECT_EQ(refusal("[card 1]\n"),
              "test.scn:1: field \"card\": cards are numbered 0, 1, ... in order; expected [card 0]");
    EXPECT_EQ(refusal("board_type = 4\n"),
              "test.scn:1: field \"board_type\": key outside any section; start with [card]");
    EXPECT_EQ(refusal("[axis 1]\n"), "test.scn:1: field \"axis\": [axis] before any [card]");
    EXPECT_EQ(refusal("[card 0]\njust words\n"),
              "test.scn:2: expected \"key = value\" or a [section]");
    EXPECT_EQ(refusal("[card 0\n"), "test.scn:1: section header without closing \"]\"");
    EXPECT_EQ(refusal("# nothing\n"), "test.scn: no [card] section");
    EXPECT_EQ(refusal("[card 0]\ntavos_name = 0123456789012345678901234567890123456789\n"),
              "test.scn:2: field \"tavos_name\": 1 to 39 characters");
}

TEST(ScenarioFile, TimelineRefusalsNameLineAndField) {
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nat soon = restart\n"),
              "test.scn:3: field \"at soon\": time \"soon\": not a number");
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nevery 0 = restart\n"),
              "test.scn:3: field \"every 0\": the period must be at least 0.1 seconds");
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nwhen 3 = restart\n"),
              "test.scn:3: field \"when 3\": expected \"at T\", \"every N\" or \"every N from T\" (seconds)");
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nat 1 = inject emergency-out axis 0\n"),
              "test.scn:3: field \"command\": word 4: axis \"0\": out of range 1 .. 18");
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nat 1 = card 1 restart\n"),
              "test.scn:3: field \"command\": word 2: card index \"1\": out of range 0 .. 0");
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nat 1 = state\n"),
              "test.scn:3: field \"command\": \"state\" changes nothing; not allowed in a timeline");
    // A card defined after the timeline may still be named by it.
    EXPECT_EQ(refusal("[card 0]\n[timeline]\nat 1 = card 1 restart\n[card 1]\n"), "accepted");
}

TEST(ScenarioFile, MissingFileIsNamed) {
    try {
        loadScenarioFile("/nonexistent/x.scn");
        FAIL() << "a missing file was accepted";
    } catch (const ScenarioError& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/x.scn: cannot open the file");
        EXPECT_EQ(e.line(), 0);
    }
}

TEST(ScenarioFile, ShippedScenariosLoad) {
    for (const char* name : {"kvx2000.scn", "kvx2100.scn", "kvx4000.scn", "kvx2400.scn", "lively.scn"}) {
        Scenario s = loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/" + name);
        ASSERT_EQ(s.cards.size(), 1u) << name;
        EXPECT_EQ(s.cards[0].initResult, 0) << name;
    }
    EXPECT_EQ(loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/kvx2000.scn").cards[0].boardType, 4);
    EXPECT_EQ(loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/kvx2100.scn").cards[0].boardType, 32);
    EXPECT_EQ(loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/kvx4000.scn").cards[0].boardType, 8);
    EXPECT_EQ(loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/kvx2400.scn").cards[0].boardType, 16);
    EXPECT_EQ(loadScenarioFile(std::string(KVXSIM_SCENARIO_DIR) + "/lively.scn").timeline.size(), 11u);
}

}  // namespace
}  // namespace kvxsim
