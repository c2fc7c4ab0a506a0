// Control commands and driver requests against the simulated cards, without
// any process or socket.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/kvxg3_api.h"
#include "model/simulator.h"

namespace kvxsim {
namespace {

using nlohmann::json;

Simulator makeSimulator(const std::string& text) {
    std::istringstream in(text);
    return Simulator(parseScenario(in, "test.scn"));
}

const char* kTwoCards = R"([card 0]
board_type = 4
axes = 4
[card 1]
board_type = 8
axes = 2
[module 0]
checksum = 0x1A2B
)";

json control(Simulator& sim, const std::string& line) { return sim.handleControl(splitWords(line)); }

TEST(ControlCommand, AxisFaultsSetAndClearTheirBits) {
    Simulator sim = makeSimulator(kTwoCards);
    EXPECT_EQ(control(sim, "inject emergency-out axis 1,3")["text"], "card 0: injected emergency out at axis 1,3");
    control(sim, "inject configuration-error axis 3");
    control(sim, "inject data-handling-error axis 3");
    control(sim, "inject max-position-error axis 3");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 0}})["state"], 0x2u);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 2}})["state"], 0x382u);
    control(sim, "clear emergency-out axis all");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 0}})["state"], 0u);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 2}})["state"], 0x380u);
}

TEST(ControlCommand, ModuleFaultsOnTheFirstRecordOfTheModule) {
    Simulator sim = makeSimulator(kTwoCards);
    control(sim, "card 1 inject asm-timeout module 0");
    control(sim, "card 1 inject asm-status module 0 0x90");
    json a = sim.handleDriverRequest({{"op", "axis"}, {"card", 1}, {"axis", 0}});
    EXPECT_EQ(a["state"], 0x1u);
    EXPECT_EQ(a["status"], 0x90u);
    EXPECT_EQ(a["checksum"], 0x1A2Bu);
    control(sim, "card 1 clear asm-timeout module 0");
    control(sim, "card 1 clear asm-status module 0");
    a = sim.handleDriverRequest({{"op", "axis"}, {"card", 1}, {"axis", 0}});
    EXPECT_EQ(a["state"], 0u);
    EXPECT_EQ(a["status"], 0x10u);
}

TEST(ControlCommand, RegistersTasksAndCounters) {
    Simulator sim = makeSimulator(kTwoCards);
    control(sim, "inject interface-status");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "ifs"}})["value"], 0x0Bu);
    control(sim, "clear interface-status");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "ifs"}})["value"], 3u);

    control(sim, "inject error-register 0x10");
    control(sim, "inject error-register 0x1");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "errorReg"}})["value"], 0x11u);
    control(sim, "clear error-register");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "errorReg"}})["value"], 0u);

    control(sim, "inject runtime-error task 2 1207 88");
    json t = sim.handleDriverRequest({{"op", "task"}, {"task", 2}});
    EXPECT_EQ(t["error"], 1207);
    EXPECT_EQ(t["line"], 88);
    control(sim, "clear runtime-error task 2");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "task"}, {"task", 2}})["error"], 0);

    control(sim, "increment rx-data");
    control(sim, "increment rx-data 4");
    control(sim, "set dma-read 7");
    control(sim, "set min-cycle 894");
    control(sim, "set max-cycle 1792");
    json s = sim.handleDriverRequest({{"op", "status"}});
    EXPECT_EQ(s["links"], json({7, 0, 0, 5, 0}));
    EXPECT_EQ(s["minCycle"], 894u);
    EXPECT_EQ(s["maxCycle"], 1792u);
    control(sim, "clear link-error all");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "status"}})["links"], json({0, 0, 0, 0, 0}));

    control(sim, "inject timing-error");
    s = sim.handleDriverRequest({{"op", "status"}});
    EXPECT_EQ(s["minCycle"], 1024u);
    EXPECT_EQ(s["maxCycle"], 4608u);
    control(sim, "clear timing-error");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "status"}})["maxCycle"], 1536u);
}

TEST(ControlCommand, OptionsEnvironmentAndValues) {
    Simulator sim = makeSimulator(kTwoCards);
    control(sim, "set option 63 none");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "option"}, {"option", 63}}), json({{"rc", 0}}));
    control(sim, "set option 63 0x22");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "option"}, {"option", 63}}), json({{"rc", 4}, {"value", 0x22}}));
    EXPECT_EQ(sim.handleDriverRequest({{"op", "option"}, {"option", 99}}), json({{"rc", 0}}));

    control(sim, "set env SampleTime 1000");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "env"}, {"name", "SampleTime"}}),
              json({{"rc", 4}, {"value", "1000"}}));
    control(sim, "set env SampleTime");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "env"}, {"name", "SampleTime"}}), json({{"rc", 0}}));

    control(sim, "set tavos-name TAVOS NEXT");
    control(sim, "set os-version 253015");
    control(sim, "set axis 2 limit 0");
    json init = sim.handleDriverRequest({{"op", "init"}});
    EXPECT_EQ(init["tavosName"], "TAVOS NEXT");
    EXPECT_EQ(init["axes"][1]["limit"], 0.0);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "osVersion"}})["value"], 253015);
}

TEST(ControlCommand, OfflineOnlineAndRestart) {
    Simulator sim = makeSimulator(kTwoCards);
    control(sim, "set run-counter 5000");
    EXPECT_GE(sim.handleDriverRequest({{"op", "status"}})["runCounter"].get<std::uint32_t>(), 5000u);
    control(sim, "offline 33");
    json init = sim.handleDriverRequest({{"op", "init"}});
    EXPECT_EQ(init, json({{"rc", 33}}));  // a controller that does not run hands out nothing
    std::uint32_t frozen = sim.handleDriverRequest({{"op", "status"}})["runCounter"];
    EXPECT_EQ(sim.handleDriverRequest({{"op", "status"}})["runCounter"], frozen);
    control(sim, "online");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "init"}})["rc"], 0);
    control(sim, "restart");
    EXPECT_LT(sim.handleDriverRequest({{"op", "status"}})["runCounter"].get<std::uint32_t>(), 1000u);
}

TEST(ControlCommand, RefusalsNameTheWord) {
    Simulator sim = makeSimulator(kTwoCards);
    EXPECT_EQ(control(sim, "jump")["error"],
              "word 1 (\"jump\"): unknown command \"jump\"; expected state, inject, clear, set, increment, "
              "restart, offline or online");
    EXPECT_EQ(control(sim, "inject emergency-out axis 19")["error"],
              "word 4 (\"19\"): axis \"19\": out of range 1 .. 18");
    EXPECT_EQ(control(sim, "inject emergency-out module 1")["error"],
              "word 3 (\"module\"): expected \"axis\", got \"module\"");
    EXPECT_EQ(control(sim, "card 2 restart")["error"], "word 2 (\"2\"): card index \"2\": out of range 0 .. 1");
    EXPECT_EQ(control(sim, "offline")["error"], "word 2: missing result code");
    EXPECT_EQ(control(sim, "offline 0")["error"], "word 2 (\"0\"): result code 0 means online; use \"online\"");
    EXPECT_EQ(control(sim, "restart now")["error"], "word 2 (\"now\"): unexpected \"now\" at the end");
    EXPECT_EQ(control(sim, "inject runtime-error task 1 0")["error"],
              "word 5 (\"0\"): a runtime error needs an error number other than 0");
    EXPECT_EQ(control(sim, "set task 1 colour red")["error"],
              "word 4 (\"colour\"): unknown field \"colour\"; expected file, state, error or line");
    EXPECT_EQ(control(sim, "")["error"], "word 1: missing command");
    // Nothing changed on the way.
    EXPECT_EQ(sim.handleDriverRequest({{"op", "init"}})["rc"], 0);
}

TEST(DriverRequest, UnknownCardsOperationsAndArguments) {
    Simulator sim = makeSimulator(kTwoCards);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "hello"}}), json({{"rc", 0}, {"cards", 2}}));
    EXPECT_EQ(sim.handleDriverRequest({{"op", "init"}, {"card", 2}})["rc"], KVX_E_NO_CARD);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "init"}, {"card", -1}})["rc"], KVX_E_NO_CARD);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "fly"}})["rc"], KVX_E_NOT_SUPPORTED);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 18}})["rc"], KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "task"}, {"task", 4}})["rc"], KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}})["rc"], KVX_E_PROTOCOL);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", "one"}})["rc"], KVX_E_PROTOCOL);
}

TEST(DriverRequest, ResetsOfEncoderErrorAndErrorRegister) {
    Simulator sim = makeSimulator(kTwoCards);
    control(sim, "inject encoder-error axis 2");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 1}})["encoder"], 1);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "resetEncoder"}, {"axis", 1}})["rc"], 0);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "axis"}, {"axis", 1}})["encoder"], 0);
    control(sim, "inject error-register 0x80000000");
    EXPECT_EQ(sim.handleDriverRequest({{"op", "writeErrorReg"}, {"value", 0}})["rc"], 0);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "errorReg"}})["value"], 0u);
}

TEST(Timeline, RunsEntriesWhenDueAndRepeats) {
    Simulator sim = makeSimulator(std::string(kTwoCards) + R"([timeline]
at 1 = inject emergency-out axis 1
every 2 from 0.5 = increment timeout
)");
    EXPECT_EQ(sim.nextTimelineDue(), 0.5);
    EXPECT_EQ(sim.runTimeline(0.4).size(), 0u);
    EXPECT_EQ(sim.runTimeline(0.6), std::vector<std::string>{"line 11: card 0: timeout = 1"});
    EXPECT_EQ(sim.nextTimelineDue(), 1.0);
    EXPECT_EQ(sim.runTimeline(1.0), std::vector<std::string>{"line 10: card 0: injected emergency out at axis 1"});
    // A late wake-up runs a repeating entry once, not once per missed period.
    EXPECT_EQ(sim.runTimeline(9.0).size(), 1u);
    EXPECT_EQ(sim.handleDriverRequest({{"op", "status"}})["links"][2], 2u);
    EXPECT_EQ(sim.nextTimelineDue(), 10.5);
}

}  // namespace
}  // namespace kvxsim
