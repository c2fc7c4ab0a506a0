// Fuzz target: the simulator's scenario files. Any text either loads or is
// refused with a ScenarioError naming where; a scenario that loads must give
// a simulator that answers its first requests and runs its timeline.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "model/scenario.h"
#include "model/simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    kvxsim::Scenario scenario;
    try {
        scenario = kvxsim::parseScenario(in, "fuzz.scn");
    } catch (const kvxsim::ScenarioError& e) {
        if (e.line() < 0) std::abort();
        return 0;
    }
    kvxsim::Simulator sim(std::move(scenario));
    for (int card = 0; card < sim.cardCount() && card < 4; ++card) {
        nlohmann::json reply = sim.handleDriverRequest({{"op", "init"}, {"card", card}});
        if (!reply.contains("rc")) std::abort();
        reply = sim.handleControl({"card", std::to_string(card), "state"});
        if (!reply.contains("ok")) std::abort();
    }
    for (double t = 0; t <= 30; t += 0.7) (void)sim.runTimeline(t);
    return 0;
}
