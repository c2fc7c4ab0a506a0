// Snapshots: every read of a poll tick answered at one moment, so that a
// remote library over a slow link needs one round trip per tick instead of
// one per operation.
#include "common/snapshot_key.h"
#include "driver/kvxg3_api.h"
#include "model/simulator.h"

namespace kvxsim {

using nlohmann::json;

json Simulator::snapshotLocked(int card, bool withAxes) {
    const CardState& c = cards_[static_cast<std::size_t>(card)];
    json answers = json::object();
    auto put = [&](json request) {
        request["card"] = card;
        std::string key = snapshotKey(request);
        answers[key] = driverRequestLocked(request);
    };
    for (const char* op : {"status", "ifs", "osVersion", "pld", "sampleTime", "errorReg", "miniport"})
        put({{"op", op}});
    if (withAxes)
        for (int a = 0; a < kMaxAxes; ++a) put({{"op", "axis"}, {"axis", a}});
    for (int t = 0; t < kTaskCount; ++t) put({{"op", "task"}, {"task", t}});
    for (const auto& [number, option] : c.options) put({{"op", "option"}, {"option", number}});
    for (const auto& [name, value] : c.environment) put({{"op", "env"}, {"name", name}});
    // What the card answers for an option or a variable it does not have.
    json otherwise{{"option", json{{"rc", 0}}}, {"env", json{{"rc", 0}}}};
    return json{{"answers", std::move(answers)}, {"otherwise", std::move(otherwise)}};
}

json Simulator::answerLocked(const json& request) {
    const std::string op = request.at("op").get<std::string>();
    const bool withSnapshot = op == "snapshot" || (op == "init" && request.value("snapshot", false));
    if (!withSnapshot) return driverRequestLocked(request);

    json answer = op == "init" ? driverRequestLocked(request) : json{{"rc", KVX_OK}};
    // An unknown card answers as every other operation does, without a snapshot.
    const int card = request.value("card", 0);
    if (card < 0 || card >= static_cast<int>(cards_.size()))
        return op == "init" ? answer : driverRequestLocked(json{{"op", "status"}, {"card", card}});
    // The axis table an initialisation hands out answers the axis reads of
    // the same moment; it is not sent twice.
    answer["snapshot"] = snapshotLocked(card, !answer.contains("axes"));
    return answer;
}

}  // namespace kvxsim
