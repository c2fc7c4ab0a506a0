// The compact snapshot: what the simulator puts in it, and what a reader
// refuses.
#include <gtest/gtest.h>

#include <sstream>

#include "common/flat_snapshot.h"
#include "driver/kvxg3_api.h"
#include "model/simulator.h"

namespace kvxsim {
namespace {

using nlohmann::json;

// In process: the compact snapshot holds exactly what the single requests
// answer, and the initialisation's own answer when it comes with one.
TEST(FlatSnapshot, HoldsTheAnswerOfEverySingleRead) {
    std::istringstream in("[card 0]\nboard_type = 8\naxes = 4\ntavos_name = T 1\noption 62 = 7\n"
                          "env SerialNumber = 12%34\n[axis 3]\nlimit = 2.25\n[module 1]\ntimeout = yes\n"
                          "[task 2]\nfile = CELL.QSL\nerror = 5\nline = 9\n");
    Simulator sim(parseScenario(in, "test.scn"));
    json init = sim.handleDriverRequest({{"op", "init"}, {"card", 0}, {"snapshot", "flat"}});
    FlatSnapshot flat;
    ASSERT_TRUE(decodeFlatSnapshot(init.at("flat").get<std::string>(), flat));
    EXPECT_EQ(init["rc"], 0);
    EXPECT_TRUE(flat.withInit && flat.running);
    EXPECT_EQ(flat.boardType, 8);
    EXPECT_EQ(flat.axisCount, 4);
    EXPECT_EQ(flat.tavosName, "T 1");

    auto single = [&](json request) {
        request["card"] = 0;
        return sim.handleDriverRequest(request);
    };
    EXPECT_EQ(flat.axes[3].limit, single({{"op", "axis"}, {"axis", 3}})["limit"].get<double>());
    EXPECT_EQ(flat.axes[1].status, single({{"op", "axis"}, {"axis", 1}})["status"].get<std::uint32_t>());
    EXPECT_EQ(flat.words[FlatSnapshot::OsVersion].value, single({{"op", "osVersion"}})["value"].get<std::uint32_t>());
    const json task = single({{"op", "task"}, {"task", 2}});
    EXPECT_EQ(flat.tasks[2].file, "CELL.QSL");
    EXPECT_EQ(flat.tasks[2].error, task["error"].get<std::uint32_t>());
    EXPECT_EQ(flat.tasks[2].line, 9u);
    ASSERT_NE(flat.option(62), nullptr);
    EXPECT_EQ(flat.option(62)->rc, KVX_OPTION_READ);
    EXPECT_EQ(flat.option(62)->value, 7);
    ASSERT_NE(flat.variable("SerialNumber"), nullptr);
    EXPECT_EQ(flat.variable("SerialNumber")->value, "12%34");
    EXPECT_EQ(flat.variable("SerialNumber")->rc, 5);
    EXPECT_EQ(flat.status.maxCycle, single({{"op", "status"}})["maxCycle"].get<std::uint32_t>());

    // The snapshot request without an initialisation.
    json snapshot = sim.handleDriverRequest({{"op", "snapshot"}, {"card", 0}, {"form", "flat"}});
    ASSERT_TRUE(decodeFlatSnapshot(snapshot.at("flat").get<std::string>(), flat));
    EXPECT_FALSE(flat.withInit);
}

TEST(FlatSnapshot, TextsTravelOnOneLineAndComeBackAsTheyWere) {
    FlatSnapshot out;
    out.withInit = out.running = true;
    out.tavosName = "a b\nc\t%d";
    out.tasks[0].file = std::string("x\0y", 3);
    out.variables.push_back({"Name With Blank", 3, "1:2"});
    out.axes[5].limit = 0.1;
    const std::string text = encodeFlatSnapshot(out);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\t'), std::string::npos);
    FlatSnapshot in;
    ASSERT_TRUE(decodeFlatSnapshot(text, in));
    EXPECT_EQ(in.tavosName, out.tavosName);
    EXPECT_EQ(in.tasks[0].file, out.tasks[0].file);
    EXPECT_EQ(in.variables.at(0).name, "Name With Blank");
    EXPECT_EQ(in.axes[5].limit, 0.1);
}

struct Spoiled {
    const char* name;
    std::string from;  // replaced in a valid snapshot ...
    std::string to;    // ... by this
};

void PrintTo(const Spoiled& c, std::ostream* os) { *os << c.name; }

class FlatSnapshotRefuses : public ::testing::TestWithParam<Spoiled> {};

TEST_P(FlatSnapshotRefuses, ASpoiledSnapshot) {
    FlatSnapshot valid;
    valid.withInit = valid.running = true;
    valid.tavosName = "TAVOS";
    valid.variables.push_back({"SerialNumber", 8, "20001234"});
    std::string text = encodeFlatSnapshot(valid);
    const std::size_t at = text.find(GetParam().from);
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, GetParam().from.size(), GetParam().to);
    FlatSnapshot out;
    EXPECT_FALSE(decodeFlatSnapshot(text, out)) << text;
}

INSTANTIATE_TEST_SUITE_P(Cases, FlatSnapshotRefuses,
                         ::testing::Values(Spoiled{"OtherTag", "kvxflat1", "kvxflat2"},
                                           Spoiled{"CutShort", " M 0 0", " M 0"},
                                           Spoiled{"TrailingField", " M 0 0", " M 0 0 7"},
                                           Spoiled{"TextPastTheEnd", "5:TAVOS", "9:TAVOS"},
                                           Spoiled{"BadEscape", "5:TAVOS", "5:TA%ZZ"},
                                           Spoiled{"WordBeyond32Bits", "W 0 0", "W 0 4294967296"},
                                           Spoiled{"ResultCodeText", "S 0", "S x"},
                                           Spoiled{"LimitInfinite", "A 0 0 ", "A 0 inf "},
                                           Spoiled{"TooManyVariables", " E 1 ", " E 99999 "},
                                           Spoiled{"FlagTwo", "I 1", "I 2"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvxsim
