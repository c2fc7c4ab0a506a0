// The snapshot of a card: the answers to every read that a poll tick may
// make, taken at one moment. The simulator files each answer under the key of
// the request it answers; the remote library looks a read up by the same key.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kvxsim {

// The key of a read request: "status", "axis/3", "task/1", "option/62",
// "env/SerialNumber", ...; empty for a request that is not a pure read (an
// initialisation, a write, a boot, a control command), whose answer must come
// from the controller itself.
inline std::string snapshotKey(const nlohmann::json& request) {
    auto op = request.find("op");
    if (op == request.end() || !op->is_string()) return {};
    const std::string& name = op->get_ref<const std::string&>();
    auto with = [&](const char* field) -> std::string {
        auto it = request.find(field);
        if (it == request.end()) return {};
        if (it->is_number_integer()) return name + "/" + std::to_string(it->get<long long>());
        if (it->is_string()) return name + "/" + it->get<std::string>();
        return {};
    };
    if (name == "status" || name == "ifs" || name == "osVersion" || name == "pld" || name == "sampleTime" ||
        name == "errorReg" || name == "miniport")
        return name;
    if (name == "axis") return with("axis");
    if (name == "task") return with("task");
    if (name == "option") return with("option");
    if (name == "env") return with("name");
    return {};
}

}  // namespace kvxsim
