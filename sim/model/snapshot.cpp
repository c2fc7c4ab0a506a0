// Snapshots: every read of a poll tick answered at one moment, so that a
// remote library over a slow link needs one round trip per tick instead of
// one per operation.
#include "common/flat_snapshot.h"
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

namespace {

// The fields of one single answer, as the libraries read them.
std::int32_t rcOf(const json& a) { return a.value("rc", 0); }
std::uint32_t wordOf(const json& a, const char* name) {
    auto it = a.find(name);
    return it != a.end() && it->is_number_integer() ? static_cast<std::uint32_t>(it->get<std::int64_t>()) : 0u;
}

}  // namespace

std::string Simulator::flatSnapshotLocked(int card, const json* init) {
    const CardState& c = cards_[static_cast<std::size_t>(card)];
    auto read = [&](json request) {
        request["card"] = card;
        return driverRequestLocked(request);
    };
    FlatSnapshot flat;
    if (init) {
        flat.withInit = true;
        flat.initRc = rcOf(*init);
        flat.running = init->contains("axes");
        if (flat.running) {
            flat.boardType = init->value("boardType", 0);
            flat.axisCount = init->value("axisCount", 0);
            flat.tavosName = init->value("tavosName", std::string());
        }
    }
    const char* words[] = {"ifs", "osVersion", "pld", "sampleTime", "errorReg", "miniport"};
    for (int i = 0; i < FlatSnapshot::kWordReads; ++i) {
        json a = read({{"op", words[i]}});
        flat.words[static_cast<std::size_t>(i)] = {rcOf(a), wordOf(a, "value")};
    }
    json status = read({{"op", "status"}});
    flat.status.rc = rcOf(status);
    flat.status.minCycle = wordOf(status, "minCycle");
    flat.status.maxCycle = wordOf(status, "maxCycle");
    flat.status.runCounter = wordOf(status, "runCounter");
    if (auto links = status.find("links"); links != status.end() && links->is_array())
        for (std::size_t i = 0; i < flat.status.links.size() && i < links->size(); ++i)
            flat.status.links[i] = static_cast<std::uint32_t>((*links)[i].get<std::int64_t>());
    for (int i = 0; i < FlatSnapshot::kAxes; ++i) {
        json a = read({{"op", "axis"}, {"axis", i}});
        flat.axes[static_cast<std::size_t>(i)] = {rcOf(a), a.value("limit", 0.0), wordOf(a, "state"),
                                                  wordOf(a, "status"), wordOf(a, "checksum"), wordOf(a, "encoder")};
    }
    for (int t = 0; t < FlatSnapshot::kTasks; ++t) {
        json a = read({{"op", "task"}, {"task", t}});
        flat.tasks[static_cast<std::size_t>(t)] = {rcOf(a), wordOf(a, "error"), wordOf(a, "line"), wordOf(a, "state"),
                                                   a.value("file", std::string())};
    }
    for (const auto& [number, option] : c.options) {
        json a = read({{"op", "option"}, {"option", number}});
        flat.options.push_back({number, rcOf(a), static_cast<std::int32_t>(wordOf(a, "value"))});
    }
    for (const auto& [name, value] : c.environment) {
        json a = read({{"op", "env"}, {"name", name}});
        flat.variables.push_back({name, rcOf(a), a.value("value", std::string())});
    }
    flat.missingOptionRc = 0;  // as the "otherwise" answers of the JSON form
    flat.missingVariableRc = 0;
    return encodeFlatSnapshot(flat);
}

json Simulator::answerLocked(const json& request) {
    const std::string op = request.at("op").get<std::string>();
    // The compact form: asked for by the initialisation, the snapshot request
    // and the writes after which the caller reads again.
    auto form = request.find("snapshot");
    const bool flat = (form != request.end() && *form == "flat") || (op == "snapshot" && request.value("form", "") == "flat");
    if (flat && (op == "init" || op == "snapshot" || op == "opcode" || op == "writeErrorReg" || op == "resetEncoder")) {
        json plain = request;
        plain.erase("snapshot");
        json answer = op == "snapshot" ? json{{"rc", KVX_OK}} : driverRequestLocked(plain);
        const int card = request.value("card", 0);
        if (card < 0 || card >= static_cast<int>(cards_.size()))
            return op == "snapshot" ? driverRequestLocked(json{{"op", "status"}, {"card", card}}) : answer;
        return json{{"rc", answer.value("rc", 0)}, {"flat", flatSnapshotLocked(card, op == "init" ? &answer : nullptr)}};
    }
    const bool withSnapshot = op == "snapshot" || (op == "init" && form != request.end() && *form == true);
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
