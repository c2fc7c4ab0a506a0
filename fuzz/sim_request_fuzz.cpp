// Fuzz target: the simulator's handling of what its clients send. Each input
// line is one request as the daemon receives it on its socket or over HTTP: a
// JSON driver request, or a control command ("control" with its words). The
// simulator must answer every one, driver requests with a result code and
// control commands with "ok", and keep running its timeline.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_input.h"
#include "model/scenario.h"
#include "model/simulator.h"

namespace {

using nlohmann::json;

// Two cards with every part the requests can reach, and a timeline.
constexpr const char* kScenario = R"([card 0]
board_type = 4
tavos_name = TAVOS
os_version = 253048
env SerialNumber = 20004711
option 62 = 0x05
axes = 3
[axis 1]
limit = 12.5
[task 0]
file = MAIN.QSL
state = 1
[card 1]
board_type = 16
axes = 18
[timeline]
every 0.5 from 0.2 = inject emergency-out axis 2
every 0.5 from 0.4 = clear emergency-out axis 2
at 1 = restart
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kvxsim::Scenario scenario = [] {
        std::istringstream in(kScenario);
        return kvxsim::parseScenario(in, "fuzz");
    }();
    kvxsim::Simulator sim(scenario);

    kvx::fuzz::FuzzInput input(data, size);
    double elapsed = 0;
    while (!input.empty()) {
        const std::string line = input.until('\n');
        json request = json::parse(line, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("op") ||
            !request["op"].is_string()) {
            // Not a request: take the line as control words instead.
            json reply = sim.handleControl(kvxsim::splitWords(line));
            if (!reply.contains("ok") || !reply["ok"].is_boolean()) std::abort();
        } else if (request["op"] == "control") {
            if (request.contains("words") && request["words"].is_array()) {
                std::vector<std::string> words;
                for (const auto& w : request["words"])
                    if (w.is_string()) words.push_back(w.get<std::string>());
                json reply = sim.handleControl(words);
                if (!reply.contains("ok")) std::abort();
            }
        } else {
            json reply = sim.handleDriverRequest(request);
            if (!reply.is_object() || !reply.contains("rc") || !reply["rc"].is_number_integer()) std::abort();
            (void)reply.dump();
        }
        elapsed += 0.15;
        (void)sim.runTimeline(elapsed);
    }
    return 0;
}
