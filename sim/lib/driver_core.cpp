#include "lib/driver_core.h"

#include <array>
#include <cstring>

#include "common/snapshot_key.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"
#include "lib/answer_fields.h"

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

// An answer without a result code, or with one no controller gives, is
// malformed.
std::int32_t rcOf(const json& answer) {
    const json* rc = answer.is_object() ? answer::member(answer, "rc") : nullptr;
    if (!rc || !rc->is_number_integer()) return KVX_E_PROTOCOL;
    return static_cast<std::int32_t>(answer::whole(*rc, INT32_MIN, INT32_MAX, "rc"));
}

// One axis of an answer, read whole before any record is touched.
struct AxisValues {
    double limit = 0.0;
    std::uint32_t state = 0, status = 0, checksum = 0;
};

AxisValues axisValues(const json& axis) {
    return {answer::real(axis, "limit", 0.0), answer::uint32(axis, "state", 0), answer::uint32(axis, "status", 0),
            answer::uint32(axis, "checksum", 0)};
}

void fillAxisRecord(std::uint8_t* rec, int index, const AxisValues& axis) {
    le::write32(rec + kAxisTagOffset, kAxisTag | static_cast<std::uint32_t>(index));
    le::writeDouble(rec + AxisRecord::kMaxPositionErrorLimit, axis.limit);
    le::write32(rec + AxisRecord::kAxisStateWord, axis.state);
    le::write32(rec + AxisRecord::kStatusWord, axis.status);
    le::write32(rec + AxisRecord::kEpromCheckSum, axis.checksum);
}

}  // namespace

template <typename Call>
std::int32_t DriverCore::guarded(std::int32_t onMalformed, Call call) noexcept {
    // Nothing may unwind into the caller of a C entry point: a malformed
    // answer (or one too large for memory) fails the call like a lost one,
    // and the snapshot it may have come from is not used again.
    try {
        return call();
    } catch (...) {
        dropSnapshot();
        return onMalformed;
    }
}

void DriverCore::setFailureHandler(FailureHandler handler) {
    std::lock_guard lock(mutex_);
    onFailure_ = std::move(handler);
}

void DriverCore::disconnect() {
    std::lock_guard lock(mutex_);
    dropSnapshot();
    linkDownUntil_ = {};
    transport_->disconnect();
}

void DriverCore::useSnapshots(std::chrono::milliseconds maxAge) {
    std::lock_guard lock(mutex_);
    snapshotsWanted_ = true;
    maxAge_ = maxAge;
}

std::optional<json> DriverCore::send(const json& req) {
    // A request that failed slowly (a dead or stalled simulator, not a
    // refused connection) makes the reads that follow fail at once for a
    // while, until a request that opens an exchange (hello, init, boot)
    // tries again. A tick that meets a dead link so costs one or two request
    // deadlines, not one per read.
    const auto op = req.find("op");
    const bool opens = op != req.end() && (*op == "hello" || *op == "init" || *op == "boot");
    std::optional<json> answer;
    compact_.clear();
    const auto start = Clock::now();
    if (opens || start >= linkDownUntil_) {
        answer = transport_->call(req, lastError_);
        compact_ = transport_->takeCompactSnapshot();
        const auto end = Clock::now();
        linkDownUntil_ = !answer && end - start >= transport_->deadline() / 2 ? end + kLinkDownFor : Clock::time_point{};
    }
    if (!answer) {
        dropSnapshot();
        if (onFailure_) onFailure_(KVX_E_NO_CONNECTION, lastError_);
    }
    return answer;
}

void DriverCore::dropSnapshot() {
    snapshot_.reset();
    haveFlat_ = false;
}

bool DriverCore::fresh(int card) const {
    return (snapshot_ || haveFlat_) && snapshotCard_ == card && Clock::now() - snapshotTime_ <= maxAge_;
}

bool DriverCore::keepFlat(int card) {
    if (compact_.empty()) return false;
    if (!decodeFlatSnapshot(compact_, flatScratch_)) throw answer::MalformedAnswer("malformed snapshot");
    dropSnapshot();
    std::swap(flat_, flatScratch_);
    haveFlat_ = true;
    snapshotCard_ = card;
    snapshotTime_ = Clock::now();
    return true;
}

const FlatSnapshot* DriverCore::flat(int card, bool& failed) {
    if (!snapshotsWanted_) return nullptr;
    if (fresh(card)) return haveFlat_ ? &flat_ : nullptr;
    dropSnapshot();
    if (!snapshotsOffered_) return nullptr;
    auto answer = send(json{{"op", "snapshot"}, {"card", card}, {"form", "flat"}});
    if (!answer) {
        failed = true;
        return nullptr;
    }
    const std::int32_t rc = rcOf(*answer);
    if (rc == KVX_OK && keepFlat(card)) return &flat_;
    if (rc == KVX_OK && answer->contains("snapshot")) {
        keepSnapshot(std::move((*answer)["snapshot"]), card);
        return nullptr;
    }
    // A simulator without snapshots calls the operation unknown; any other
    // refusal (no such card) is the direct request's to give.
    if (rc == KVX_E_NOT_SUPPORTED) snapshotsOffered_ = false;
    return nullptr;
}

void DriverCore::keepSnapshot(json snapshot, int card) {
    if (!snapshot.is_object() || !snapshot.contains("answers") || !snapshot["answers"].is_object()) {
        dropSnapshot();
        return;
    }
    haveFlat_ = false;
    snapshot_ = std::move(snapshot);
    snapshotCard_ = card;
    snapshotTime_ = Clock::now();
}

json* DriverCore::fromSnapshot(const std::string& key, const json& req, int card) {
    // Every read asks flat() first, which fetches the snapshot.
    if (!snapshot_ || !fresh(card)) return nullptr;
    json& answers = (*snapshot_)["answers"];
    if (auto it = answers.find(key); it != answers.end()) return &*it;
    // An axis read the initialisation's axis table answers (the snapshot
    // that comes with an initialisation leaves the axes to it).
    if (auto table = snapshot_->find(kInitAxes);
        table != snapshot_->end() && table->is_array() && req.at("op") == "axis") {
        const auto axis = req.at("axis").get<std::size_t>();
        if (axis < table->size()) {
            json& answer = (*table)[axis];
            if (!answer.is_object()) throw answer::MalformedAnswer("axis of the initialisation is no object");
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
        if (json* answer = fromSnapshot(key, req, card)) return answer;
        return keep(send(req));
    }
    // Anything else may change what the controller reads: the snapshot goes.
    // An initialisation brings the next one along, and so does a write
    // after which the caller reads again.
    dropSnapshot();
    const json& op = req["op"];
    const bool init = op == "init";
    const bool withSnapshot = init || op == "opcode" || op == "writeErrorReg" || op == "resetEncoder";
    if (withSnapshot && snapshotsOffered_) req["snapshot"] = "flat";
    auto answer = send(req);
    if (answer && withSnapshot && !keepFlat(card) && init) {
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
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        auto answer = request({{"op", "hello"}}, 0);
        if (!answer) return KVX_E_NO_CONNECTION;
        const std::int32_t count = answer::int32(*answer, "cards");
        if (cardCount) *cardCount = count;
        return rcOf(*answer);
    });
}

std::int32_t DriverCore::init(int card, void* axisTable, void* systemInfo, std::int32_t* boardType) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!axisTable || !systemInfo || !boardType) return KVX_E_BAD_ARGUMENT;
        auto answer = request({{"op", "init"}}, card);
        if (!answer) return KVX_E_NO_CONNECTION;
        std::int32_t rc = rcOf(*answer);
        std::array<AxisValues, KVX_AXIS_COUNT_MAX> values{};
        std::string name;
        std::int32_t axisCount = 0, type = 0;
        if (haveFlat_ && flat_.withInit && !compact_.empty()) {
            // The compact form: the initialisation is part of its snapshot.
            if (!flat_.running) return rc;  // a controller that does not run fills nothing
            for (std::size_t i = 0; i < values.size(); ++i) {
                const FlatSnapshot::Axis& a = flat_.axes[i];
                values[i] = {a.limit, a.state, a.status, a.checksum};
            }
            name = flat_.tavosName;
            axisCount = flat_.axisCount;
            type = flat_.boardType;
        } else {
            if (!answer->contains("axes")) return rc;  // a controller that does not run fills nothing
            // Read in place: copying the axis array cost more than the rest of the tick.
            const json& axes = answer->at("axes");
            if (!axes.is_array()) throw answer::MalformedAnswer("axes is no array");
            name = answer::text(*answer, "tavosName");
            axisCount = answer::int32(*answer, "axisCount");
            type = answer::int32(*answer, "boardType");
            for (std::size_t i = 0; i < values.size() && i < axes.size(); ++i) values[i] = axisValues(axes[i]);
            // The snapshot of this initialisation answers the tick's axis reads
            // from the same table.
            if (snapshot_ && snapshotCard_ == card) (*snapshot_)[kInitAxes] = std::move((*answer)["axes"]);
        }

        auto* table = static_cast<std::uint8_t*>(axisTable);
        axisTable_ = table;
        for (int i = 0; i < KVX_AXIS_COUNT_MAX; ++i) {
            std::uint8_t* rec = table + KVX_AXIS_RECORD_SIZE * i;
            std::memset(rec, 0, KVX_AXIS_RECORD_SIZE);
            fillAxisRecord(rec, i, values[static_cast<std::size_t>(i)]);
        }
        auto* info = static_cast<std::uint8_t*>(systemInfo);
        le::setText(info + kvx::SystemInfo::kTavosName, kvx::SystemInfo::kTavosNameSize, name);
        // The table holds 18 records; a larger count would send callers past it.
        le::write32(info + kvx::SystemInfo::kAxisCount,
                    static_cast<std::uint32_t>(axisCount < 0                     ? 0
                                               : axisCount > KVX_AXIS_COUNT_MAX ? KVX_AXIS_COUNT_MAX
                                                                                : axisCount));
        *boardType = type;
        return rc;
    });
}

std::int32_t DriverCore::boot(int card, const char* file) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!file) return KVX_E_BAD_ARGUMENT;
        auto answer = request({{"op", "boot"}, {"file", std::string(file)}}, card);
        return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
    });
}

std::int32_t DriverCore::readStatus(int card, void* record, std::int32_t size) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!record || size < 0) return KVX_E_BAD_ARGUMENT;
        std::uint32_t minCycle = 0, maxCycle = 0, run = 0;
        std::array<std::uint32_t, 5> link{};
        bool failed = false;
        if (const FlatSnapshot* f = flat(card, failed)) {
            if (f->status.rc != KVX_OK) return f->status.rc;
            minCycle = f->status.minCycle;
            maxCycle = f->status.maxCycle;
            run = f->status.runCounter;
            link = f->status.links;
        } else {
            if (failed) return KVX_E_NO_CONNECTION;
            auto answer = request({{"op", "status"}}, card);
            if (!answer) return KVX_E_NO_CONNECTION;
            std::int32_t rc = rcOf(*answer);
            if (rc != KVX_OK) return rc;
            minCycle = answer::uint32(*answer, "minCycle", 0);
            maxCycle = answer::uint32(*answer, "maxCycle", 0);
            run = answer::uint32(*answer, "runCounter", 0);
            const json* links = answer::member(*answer, "links");
            if (!answer->contains("minCycle") || !answer->contains("maxCycle") || !answer->contains("runCounter") ||
                !links || !links->is_array() || links->size() != 5)
                return KVX_E_PROTOCOL;
            for (std::size_t i = 0; i < link.size(); ++i) link[i] = answer::asUint32((*links)[i], "links");
        }
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
        put(StatusRecord::kDmaReadErrors, link[0]);
        put(StatusRecord::kDmaWriteErrors, link[1]);
        put(StatusRecord::kTimeoutErrors, link[2]);
        put(StatusRecord::kRxDataErrors, link[3]);
        put(StatusRecord::kRxComErrors, link[4]);
        return KVX_OK;
    });
}

std::int32_t DriverCore::readAxis(int card, void* record, std::size_t offset, const char* field) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!record) return KVX_E_BAD_ARGUMENT;
        int index = axisIndexOf(record);
        if (index < 0) return KVX_E_BAD_ARGUMENT;
        auto* r = static_cast<std::uint8_t*>(record) + offset;
        bool failed = false;
        if (const FlatSnapshot* f = flat(card, failed)) {
            const FlatSnapshot::Axis& a = f->axes[static_cast<std::size_t>(index)];
            if (a.rc != KVX_OK) return a.rc;
            if (offset == AxisRecord::kMaxPositionErrorLimit)
                le::writeDouble(r, a.limit);
            else
                le::write32(r, offset == AxisRecord::kAxisStateWord ? a.state
                               : offset == AxisRecord::kStatusWord  ? a.status
                                                                    : a.checksum);
            return a.rc;
        }
        if (failed) return KVX_E_NO_CONNECTION;
        auto answer = request({{"op", "axis"}, {"axis", index}}, card);
        if (!answer) return KVX_E_NO_CONNECTION;
        std::int32_t rc = rcOf(*answer);
        if (rc != KVX_OK) return rc;
        if (offset == AxisRecord::kMaxPositionErrorLimit)
            le::writeDouble(r, answer::real(*answer, field, 0.0));
        else
            le::write32(r, answer::uint32(*answer, field, 0));
        return rc;
    });
}

std::int32_t DriverCore::readAxisState(int card, void* record) {
    return readAxis(card, record, AxisRecord::kAxisStateWord, "state");
}

std::int32_t DriverCore::readModuleStatus(int card, void* record) {
    return readAxis(card, record, AxisRecord::kStatusWord, "status");
}

std::int32_t DriverCore::readModuleCheckSum(int card, void* record) {
    return readAxis(card, record, AxisRecord::kEpromCheckSum, "checksum");
}

std::int32_t DriverCore::readPositionErrorLimit(int card, void* record) {
    return readAxis(card, record, AxisRecord::kMaxPositionErrorLimit, "limit");
}

std::int32_t DriverCore::readInterfaceStatus(int card, void* table) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!table) return KVX_E_BAD_ARGUMENT;
        std::uint32_t value = 0;
        std::int32_t rc = readWord(card, "ifs", value);
        if (rc == KVX_OK) le::write32(static_cast<std::uint8_t*>(table) + AxisRecord::kStatusWord, value);
        return rc;
    });
}

std::int32_t DriverCore::readEncoderError(int card, std::int32_t axis) {
    // No answer, and a malformed one, is no evidence of an encoder error.
    return guarded(0, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (axis < 0 || axis >= KVX_AXIS_COUNT_MAX) return 0;
        bool failed = false;
        if (const FlatSnapshot* f = flat(card, failed)) {
            const FlatSnapshot::Axis& a = f->axes[static_cast<std::size_t>(axis)];
            return a.rc == KVX_OK && a.encoder != 0 ? 1 : 0;
        }
        if (failed) return 0;
        auto answer = request({{"op", "axis"}, {"axis", axis}}, card);
        if (!answer || rcOf(*answer) != KVX_OK) return 0;
        return answer::word(*answer, "encoder", 0) != 0 ? 1 : 0;
    });
}

std::int32_t DriverCore::resetEncoderError(int card, void* record) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!record) return KVX_E_BAD_ARGUMENT;
        int index = axisIndexOf(record);
        if (index < 0) return KVX_E_BAD_ARGUMENT;
        auto answer = request({{"op", "resetEncoder"}, {"axis", index}}, card);
        return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
    });
}

std::int32_t DriverCore::readOption(int card, void* descriptor, std::int32_t* value) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!descriptor || !value) return KVX_E_BAD_ARGUMENT;
        auto* words = static_cast<std::uint8_t*>(descriptor);
        auto option = static_cast<std::int32_t>(le::read32(words + 16));
        bool failed = false;
        if (const FlatSnapshot* f = flat(card, failed)) {
            const FlatSnapshot::Option* o = f->option(option);
            const std::int32_t rc = o ? o->rc : f->missingOptionRc;
            if (rc != KVX_OPTION_READ) return rc;
            *value = o->value;
            le::write32(words, 1);  // state word: the request has completed
            return rc;
        }
        if (failed) return KVX_E_NO_CONNECTION;
        auto answer = request({{"op", "option"}, {"option", option}}, card);
        if (!answer) return KVX_E_NO_CONNECTION;
        std::int32_t rc = rcOf(*answer);
        if (rc != KVX_OPTION_READ) return rc;
        *value = answer::int32(*answer, "value");
        le::write32(words, 1);  // state word: the request has completed
        return rc;
    });
}

std::int32_t DriverCore::readEnvironment(int card, char* buffer) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!buffer) return KVX_E_BAD_ARGUMENT;
        std::string name = le::text(reinterpret_cast<std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE);
        std::string value;
        bool failed = false;
        if (const FlatSnapshot* f = flat(card, failed)) {
            const FlatSnapshot::Variable* v = f->variable(name);
            const std::int32_t rc = v ? v->rc : f->missingVariableRc;
            if (rc <= 0) return rc;
            value = v->value;
        } else {
            if (failed) return KVX_E_NO_CONNECTION;
            auto answer = request({{"op", "env"}, {"name", name}}, card);
            if (!answer) return KVX_E_NO_CONNECTION;
            std::int32_t rc = rcOf(*answer);
            if (rc <= 0) return rc;
            value = answer::text(*answer, "value");
        }
        // The buffer holds 256 bytes; a longer value is cut, never overrun.
        le::setText(reinterpret_cast<std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE, value);
        std::size_t written = value.size() < KVX_ENV_BUFFER_SIZE ? value.size() : KVX_ENV_BUFFER_SIZE - 1;
        return static_cast<std::int32_t>(written);
    });
}

int DriverCore::wordRead(const char* op) {
    static constexpr const char* kOps[] = {"ifs", "osVersion", "pld", "sampleTime", "errorReg", "miniport"};
    for (int i = 0; i < FlatSnapshot::kWordReads; ++i)
        if (std::strcmp(kOps[i], op) == 0) return i;
    return -1;
}

std::int32_t DriverCore::readWord(int card, const char* op, std::uint32_t& value) {
    bool failed = false;
    if (const FlatSnapshot* f = flat(card, failed); f && wordRead(op) >= 0) {
        const FlatSnapshot::Word& w = f->words[static_cast<std::size_t>(wordRead(op))];
        if (w.rc != KVX_OK) return w.rc;
        value = w.value;
        return KVX_OK;
    }
    if (failed) return KVX_E_NO_CONNECTION;
    auto answer = request({{"op", op}}, card);
    if (!answer) return KVX_E_NO_CONNECTION;
    std::int32_t rc = rcOf(*answer);
    if (rc != KVX_OK) return rc;
    value = answer::word(*answer, "value");
    return KVX_OK;
}

std::int32_t DriverCore::readWord(int card, const char* op, std::int32_t* value) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!value) return KVX_E_BAD_ARGUMENT;
        std::uint32_t word = 0;
        std::int32_t rc = readWord(card, op, word);
        if (rc == KVX_OK) *value = static_cast<std::int32_t>(word);
        return rc;
    });
}

std::int32_t DriverCore::readOsVersion(int card, std::int32_t* value) { return readWord(card, "osVersion", value); }
std::int32_t DriverCore::readPldRevision(int card, std::int32_t* value) { return readWord(card, "pld", value); }
std::int32_t DriverCore::readSampleTime(int card, std::int32_t* value) { return readWord(card, "sampleTime", value); }
std::int32_t DriverCore::readErrorRegister(int card, std::int32_t* value) { return readWord(card, "errorReg", value); }

std::int32_t DriverCore::writeErrorRegister(int card, const std::int32_t* value) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!value) return KVX_E_BAD_ARGUMENT;
        auto answer = request({{"op", "writeErrorReg"}, {"value", static_cast<std::uint32_t>(*value)}}, card);
        return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
    });
}

std::int32_t DriverCore::readMiniportVersion(int card) {
    // The word itself is the answer; 0 when it could not be read.
    std::int32_t word = 0;
    return readWord(card, "miniport", &word) == KVX_OK ? word : 0;
}

std::int32_t DriverCore::sendLinkOpCode(int card, std::int32_t opcode) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        auto answer = request({{"op", "opcode"}, {"opcode", opcode}}, card);
        return answer ? rcOf(*answer) : KVX_E_NO_CONNECTION;
    });
}

std::int32_t DriverCore::readTaskState(int card, std::int32_t task, void* record) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!record) return KVX_E_BAD_ARGUMENT;
        std::uint32_t error = 0, line = 0, state = 0;
        bool failed = false;
        const FlatSnapshot* f = flat(card, failed);
        if (f && task >= 0 && task < FlatSnapshot::kTasks) {
            const FlatSnapshot::Task& t = f->tasks[static_cast<std::size_t>(task)];
            if (t.rc != KVX_OK) return t.rc;
            error = t.error;
            line = t.line;
            state = t.state;
        } else {
            if (failed) return KVX_E_NO_CONNECTION;
            auto answer = request({{"op", "task"}, {"task", task}}, card);
            if (!answer) return KVX_E_NO_CONNECTION;
            std::int32_t rc = rcOf(*answer);
            if (rc != KVX_OK) return rc;
            error = answer::word(*answer, "error", 0);
            line = answer::word(*answer, "line", 0);
            state = answer::uint32(*answer, "state", 0);
        }
        auto* rec = static_cast<std::uint8_t*>(record);
        std::memset(rec, 0, KVX_TASK_STATE_SIZE);
        le::write32(rec + 0, error);
        le::write32(rec + 4, line);
        le::write32(rec + 12, state);
        return KVX_OK;
    });
}

std::int32_t DriverCore::readTaskFile(int card, std::int32_t task, void* record) {
    return guarded(KVX_E_PROTOCOL, [&]() -> std::int32_t {
        std::lock_guard lock(mutex_);
        if (!record) return KVX_E_BAD_ARGUMENT;
        std::string file;
        bool failed = false;
        const FlatSnapshot* f = flat(card, failed);
        if (f && task >= 0 && task < FlatSnapshot::kTasks) {
            const FlatSnapshot::Task& t = f->tasks[static_cast<std::size_t>(task)];
            if (t.rc != KVX_OK) return t.rc;
            file = t.file;
        } else {
            if (failed) return KVX_E_NO_CONNECTION;
            auto answer = request({{"op", "task"}, {"task", task}}, card);
            if (!answer) return KVX_E_NO_CONNECTION;
            std::int32_t rc = rcOf(*answer);
            if (rc != KVX_OK) return rc;
            file = answer::text(*answer, "file", std::string());
        }
        auto* rec = static_cast<std::uint8_t*>(record);
        std::memset(rec, 0, KVX_TASK_FILE_SIZE);
        le::setText(rec + kvx::TaskFileRecord::kFileName, KVX_TASK_FILE_SIZE - kvx::TaskFileRecord::kFileName, file);
        return KVX_OK;
    });
}

}  // namespace kvxsim
