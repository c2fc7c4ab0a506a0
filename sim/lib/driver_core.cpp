#include "lib/driver_core.h"

#include <cstring>

#include "common/snapshot_key.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"

namespace kvxsim {

using nlohmann::json;
using kvx::AxisRecord;
using kvx::StatusRecord;
namespace le = kvx::le;

namespace {

// Where a snapshot keeps the axis table of the initialisation it came with.
constexpr const char* kInitAxes = "initAxes";

// The driver keeps the axis index in the first word of each record it
// filled, so a record copied away from the table is still recognised.
constexpr std::uint32_t kAxisTag = 0x4B580000;
constexpr std::size_t kAxisTagOffset = 0;

std::int32_t rcOf(const json& answer) {
    auto it = answer.find("rc");
    return it != answer.end() && it->is_number_integer() ? it->get<std::int32_t>() : KVX_E_PROTOCOL;
}

template <typename T>
bool field(const json& answer, const char* name, T& out) {
    auto it = answer.find(name);
    if (it == answer.end()) return false;
    try {
        out = it->get<T>();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

void fillAxisRecord(std::uint8_t* rec, int index, const json& axis) {
    le::write32(rec + kAxisTagOffset, kAxisTag | static_cast<std::uint32_t>(index));
    le::writeDouble(rec + AxisRecord::kMaxPositionErrorLimit, axis.value("limit", 0.0));
    le::write32(rec + AxisRecord::kAxisStateWord, axis.value("state", 0u));
    le::write32(rec + AxisRecord::kStatusWord, axis.value("status", 0u));
    le::write32(rec + AxisRecord::kEpromCheckSum, axis.value("checksum", 0u));
}

}  // namespace

void DriverCore::setFailureHandler(FailureHandler handler) {
    std::lock_guard lock(mutex_);
    onFailure_ = std::move(handler);
}

void DriverCore::disconnect() {
    std::lock_guard lock(mutex_);
    snapshot_.reset();
    transport_->disconnect();
}

void DriverCore::useSnapshots(std::chrono::milliseconds maxAge) {
    std::lock_guard lock(mutex_);
    snapshotsWanted_ = true;
    maxAge_ = maxAge;
}

std::optional<json> DriverCore::send(const json& req) {
    std::string error;
    auto answer = transport_->call(req, error);
    if (!answer) {
        snapshot_.reset();
        if (onFailure_) onFailure_(KVX_E_NO_CONNECTION, error);
    }
    return answer;
}

void DriverCore::keepSnapshot(json snapshot, int card) {
    if (!snapshot.is_object() || !snapshot.contains("answers") || !snapshot["answers"].is_object()) {
        snapshot_.reset();
        return;
    }
    snapshot_ = std::move(snapshot);
    snapshotCard_ = card;
    snapshotTime_ = Clock::now();
}

json* DriverCore::fromSnapshot(const std::string& key, const json& req, int card, bool& failed) {
    const bool fresh = snapshot_ && snapshotCard_ == card && Clock::now() - snapshotTime_ <= maxAge_;
    if (!fresh) {
        snapshot_.reset();
        if (!snapshotsOffered_) return nullptr;
        auto answer = send(json{{"op", "snapshot"}, {"card", card}});
        if (!answer) {
            failed = true;
            return nullptr;
        }
        if (rcOf(*answer) != KVX_OK || !answer->contains("snapshot")) {
            // A simulator without snapshots calls the operation unknown; any
            // other refusal (no such card) is the direct request's to give.
            if (rcOf(*answer) == KVX_E_NOT_SUPPORTED) snapshotsOffered_ = false;
            return nullptr;
        }
        keepSnapshot(std::move((*answer)["snapshot"]), card);
        if (!snapshot_) return nullptr;
    }
    json& answers = (*snapshot_)["answers"];
    if (auto it = answers.find(key); it != answers.end()) return &*it;
    // An axis read the initialisation's axis table answers (the snapshot
    // that comes with an initialisation leaves the axes to it).
    if (auto table = snapshot_->find(kInitAxes); table != snapshot_->end() && req.at("op") == "axis") {
        const auto axis = req.at("axis").get<std::size_t>();
        if (axis < table->size()) {
            json& answer = (*table)[axis];
            if (!answer.contains("rc")) answer["rc"] = KVX_OK;
            return &answer;
        }
    }
    auto otherwise = snapshot_->find("otherwise");
    if (otherwise != snapshot_->end() && otherwise->is_object()) {
        if (auto it = otherwise->find(req.at("op").get<std::string>()); it != otherwise->end()) return &*it;
    }
    return nullptr;
}

json* DriverCore::keep(std::optional<json> answer) {
    if (!answer) return nullptr;
    lastAnswer_ = std::move(*answer);
    return &lastAnswer_;
}

json* DriverCore::request(json req, int card) {
    req["card"] = card;
    if (!snapshotsWanted_) return keep(send(req));

    const std::string key = snapshotKey(req);
    if (!key.empty()) {
        bool failed = false;
        if (json* answer = fromSnapshot(key, req, card, failed)) return answer;
        if (failed) return nullptr;
        return keep(send(req));
    }
    // Anything else may change what the controller reads: the snapshot goes,
    // and an initialisation brings the next one along.
    snapshot_.reset();
    const bool init = req["op"] == "init";
    if (init && snapshotsOffered_) req["snapshot"] = true;
    auto answer = send(req);
    if (answer && init) {
        if (auto it = answer->find("snapshot"); it != answer->end()) {
            json snapshot = std::move(*it);
            answer->erase("snapshot");
            keepSnapshot(std::move(snapshot), card);
        }
    }
    return keep(std::move(answer));
}

int DriverCore::axisIndexOf(const void* record) const {
    auto* p = static_cast<const std::uint8_t*>(record);
    if (axisTable_ && p >= axisTable_ && p < axisTable_ + KVX_AXIS_RECORD_SIZE * KVX_AXIS_COUNT_MAX) {
        auto offset = static_cast<std::size_t>(p - axisTable_);
        if (offset % KVX_AXIS_RECORD_SIZE == 0) return static_cast<int>(offset / KVX_AXIS_RECORD_SIZE);
    }
    std::uint32_t tag = le::read32(p + kAxisTagOffset);
    if ((tag & 0xFFFF0000u) == kAxisTag && (tag & 0xFFFFu) < KVX_AXIS_COUNT_MAX) return static_cast<int>(tag & 0xFFFFu);
    return -1;
}

std::int32_t DriverCore::hello(std::int32_t* cardCount) {
    std::lock_guard lock(mutex_);
    auto answer = request({{"op", "hello"}}, 0);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t count = 0;
    if (!field(*answer, "cards", count)) return KVX_E_PROTOCOL;
    if (cardCount) *cardCount = count;
    return rcOf(*answer);
}

std::int32_t DriverCore::init(int card, void* axisTable, void* systemInfo, std::int32_t* boardType) {
    std::lock_guard lock(mutex_);
    if (!axisTable || !systemInfo || !boardType) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "init"}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (!answer->contains("axes")) return rc;  // a controller that does not run fills nothing

    // Read in place: copying the axis array cost more than the rest of the tick.
    const json& axes = answer->at("axes");
    static const json kNoAxis = json::object();
    std::string name;
    std::int32_t axisCount = 0, type = 0;
    if (!axes.is_array() || !field(*answer, "tavosName", name) || !field(*answer, "axisCount", axisCount) ||
        !field(*answer, "boardType", type))
        return KVX_E_PROTOCOL;
    auto* table = static_cast<std::uint8_t*>(axisTable);
    axisTable_ = table;
    for (int i = 0; i < KVX_AXIS_COUNT_MAX; ++i) {
        std::uint8_t* rec = table + KVX_AXIS_RECORD_SIZE * i;
        std::memset(rec, 0, KVX_AXIS_RECORD_SIZE);
        fillAxisRecord(rec, i, i < static_cast<int>(axes.size()) ? axes[static_cast<std::size_t>(i)] : kNoAxis);
    }
    // The snapshot of this initialisation answers the tick's axis reads from
    // the same table.
    if (snapshot_ && snapshotCard_ == card) (*snapshot_)[kInitAxes] = std::move((*answer)["axes"]);
    auto* info = static_cast<std::uint8_t*>(systemInfo);
    le::setText(info + kvx::SystemInfo::kTavosName, kvx::SystemInfo::kTavosNameSize, name);
    // The table holds 18 records; a larger count would send callers past it.
    le::write32(info + kvx::SystemInfo::kAxisCount,
                static_cast<std::uint32_t>(axisCount < 0 ? 0 : axisCount > KVX_AXIS_COUNT_MAX ? KVX_AXIS_COUNT_MAX : axisCount));
    *boardType = type;
    return rc;
}

std::int32_t DriverCore::boot(int card, const char* file) {
    std::lock_guard lock(mutex_);
    if (!file) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "boot"}, {"file", std::string(file)}}, card);
    return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
}

std::int32_t DriverCore::readStatus(int card, void* record, std::int32_t size) {
    std::lock_guard lock(mutex_);
    if (!record || size < 0) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "status"}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OK) return rc;
    std::uint32_t minCycle = 0, maxCycle = 0, run = 0;
    std::vector<std::uint32_t> links;
    if (!field(*answer, "minCycle", minCycle) || !field(*answer, "maxCycle", maxCycle) ||
        !field(*answer, "runCounter", run) || !field(*answer, "links", links) || links.size() != 5)
        return KVX_E_PROTOCOL;
    // Only as much of the record as the caller said it has is written.
    auto* rec = static_cast<std::uint8_t*>(record);
    std::size_t limit = static_cast<std::size_t>(size < KVX_STATUS_RECORD_SIZE ? size : KVX_STATUS_RECORD_SIZE);
    std::memset(rec, 0, limit);
    auto put = [&](std::size_t offset, std::uint32_t v) {
        if (offset + 4 <= limit) le::write32(rec + offset, v);
    };
    put(StatusRecord::kMinCycleTime, minCycle);
    put(StatusRecord::kMaxCycleTime, maxCycle);
    put(StatusRecord::kRunCounter, run);
    put(StatusRecord::kDmaReadErrors, links[0]);
    put(StatusRecord::kDmaWriteErrors, links[1]);
    put(StatusRecord::kTimeoutErrors, links[2]);
    put(StatusRecord::kRxDataErrors, links[3]);
    put(StatusRecord::kRxComErrors, links[4]);
    return KVX_OK;
}

std::int32_t DriverCore::readAxis(int card, void* record,
                                  const std::function<void(std::uint8_t*, const json&)>& fill) {
    std::lock_guard lock(mutex_);
    if (!record) return KVX_E_BAD_ARGUMENT;
    int index = axisIndexOf(record);
    if (index < 0) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "axis"}, {"axis", index}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc == KVX_OK) fill(static_cast<std::uint8_t*>(record), *answer);
    return rc;
}

std::int32_t DriverCore::readAxisState(int card, void* record) {
    return readAxis(card, record, [](std::uint8_t* r, const json& a) {
        le::write32(r + AxisRecord::kAxisStateWord, a.value("state", 0u));
    });
}

std::int32_t DriverCore::readModuleStatus(int card, void* record) {
    return readAxis(card, record, [](std::uint8_t* r, const json& a) {
        le::write32(r + AxisRecord::kStatusWord, a.value("status", 0u));
    });
}

std::int32_t DriverCore::readModuleCheckSum(int card, void* record) {
    return readAxis(card, record, [](std::uint8_t* r, const json& a) {
        le::write32(r + AxisRecord::kEpromCheckSum, a.value("checksum", 0u));
    });
}

std::int32_t DriverCore::readPositionErrorLimit(int card, void* record) {
    return readAxis(card, record, [](std::uint8_t* r, const json& a) {
        le::writeDouble(r + AxisRecord::kMaxPositionErrorLimit, a.value("limit", 0.0));
    });
}

std::int32_t DriverCore::readInterfaceStatus(int card, void* table) {
    std::lock_guard lock(mutex_);
    if (!table) return KVX_E_BAD_ARGUMENT;
    std::uint32_t value = 0;
    std::int32_t rc = readWord(card, "ifs", reinterpret_cast<std::int32_t*>(&value));
    if (rc == KVX_OK) le::write32(static_cast<std::uint8_t*>(table) + AxisRecord::kStatusWord, value);
    return rc;
}

std::int32_t DriverCore::readEncoderError(int card, std::int32_t axis) {
    std::lock_guard lock(mutex_);
    if (axis < 0 || axis >= KVX_AXIS_COUNT_MAX) return 0;
    auto answer = request({{"op", "axis"}, {"axis", axis}}, card);
    // No answer is no evidence of an encoder error.
    if (!answer || rcOf(*answer) != KVX_OK) return 0;
    return answer->value("encoder", 0) != 0 ? 1 : 0;
}

std::int32_t DriverCore::resetEncoderError(int card, void* record) {
    std::lock_guard lock(mutex_);
    if (!record) return KVX_E_BAD_ARGUMENT;
    int index = axisIndexOf(record);
    if (index < 0) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "resetEncoder"}, {"axis", index}}, card);
    return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
}

std::int32_t DriverCore::readOption(int card, void* descriptor, std::int32_t* value) {
    std::lock_guard lock(mutex_);
    if (!descriptor || !value) return KVX_E_BAD_ARGUMENT;
    auto* words = static_cast<std::uint8_t*>(descriptor);
    auto option = static_cast<std::int32_t>(le::read32(words + 16));
    auto answer = request({{"op", "option"}, {"option", option}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OPTION_READ) return rc;
    std::int32_t v = 0;
    if (!field(*answer, "value", v)) return KVX_E_PROTOCOL;
    *value = v;
    le::write32(words, 1);  // state word: the request has completed
    return rc;
}

std::int32_t DriverCore::readEnvironment(int card, char* buffer) {
    std::lock_guard lock(mutex_);
    if (!buffer) return KVX_E_BAD_ARGUMENT;
    std::string name = le::text(reinterpret_cast<std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE);
    auto answer = request({{"op", "env"}, {"name", name}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc <= 0) return rc;
    std::string value;
    if (!field(*answer, "value", value)) return KVX_E_PROTOCOL;
    // The buffer holds 256 bytes; a longer value is cut, never overrun.
    le::setText(reinterpret_cast<std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE, value);
    std::size_t written = value.size() < KVX_ENV_BUFFER_SIZE ? value.size() : KVX_ENV_BUFFER_SIZE - 1;
    return static_cast<std::int32_t>(written);
}

std::int32_t DriverCore::readWord(int card, const char* op, std::int32_t* value) {
    if (!value) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", op}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OK) return rc;
    std::int64_t v = 0;
    if (!field(*answer, "value", v)) return KVX_E_PROTOCOL;
    *value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return KVX_OK;
}

std::int32_t DriverCore::readOsVersion(int card, std::int32_t* value) {
    std::lock_guard lock(mutex_);
    return readWord(card, "osVersion", value);
}
std::int32_t DriverCore::readPldRevision(int card, std::int32_t* value) {
    std::lock_guard lock(mutex_);
    return readWord(card, "pld", value);
}
std::int32_t DriverCore::readSampleTime(int card, std::int32_t* value) {
    std::lock_guard lock(mutex_);
    return readWord(card, "sampleTime", value);
}
std::int32_t DriverCore::readErrorRegister(int card, std::int32_t* value) {
    std::lock_guard lock(mutex_);
    return readWord(card, "errorReg", value);
}

std::int32_t DriverCore::writeErrorRegister(int card, const std::int32_t* value) {
    std::lock_guard lock(mutex_);
    if (!value) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "writeErrorReg"}, {"value", static_cast<std::uint32_t>(*value)}}, card);
    return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
}

std::int32_t DriverCore::readMiniportVersion(int card) {
    std::lock_guard lock(mutex_);
    std::int32_t word = 0;
    return readWord(card, "miniport", &word) == KVX_OK ? word : 0;
}

std::int32_t DriverCore::sendLinkOpCode(int card, std::int32_t opcode) {
    std::lock_guard lock(mutex_);
    auto answer = request({{"op", "opcode"}, {"opcode", opcode}}, card);
    return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
}

std::int32_t DriverCore::readTaskState(int card, std::int32_t task, void* record) {
    std::lock_guard lock(mutex_);
    if (!record) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "task"}, {"task", task}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OK) return rc;
    auto* rec = static_cast<std::uint8_t*>(record);
    std::memset(rec, 0, KVX_TASK_STATE_SIZE);
    le::write32(rec + 0, static_cast<std::uint32_t>(answer->value("error", 0)));
    le::write32(rec + 4, static_cast<std::uint32_t>(answer->value("line", 0)));
    le::write32(rec + 12, answer->value("state", 0u));
    return KVX_OK;
}

std::int32_t DriverCore::readTaskFile(int card, std::int32_t task, void* record) {
    std::lock_guard lock(mutex_);
    if (!record) return KVX_E_BAD_ARGUMENT;
    auto answer = request({{"op", "task"}, {"task", task}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OK) return rc;
    auto* rec = static_cast<std::uint8_t*>(record);
    std::memset(rec, 0, KVX_TASK_FILE_SIZE);
    le::setText(rec + kvx::TaskFileRecord::kFileName, KVX_TASK_FILE_SIZE - kvx::TaskFileRecord::kFileName,
                answer->value("file", std::string()));
    return KVX_OK;
}

}  // namespace kvxsim
