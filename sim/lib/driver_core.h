// The part both replacement driver libraries share: each driver operation
// becomes one request to the simulator, and the answer is written into the
// caller's records at the offsets of the driver contract. The libraries
// differ only in the transport and in their entry-point forms.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/flat_snapshot.h"
#include "lib/transport.h"

namespace kvxsim {

class DriverCore {
public:
    // Told about every request that could not reach the simulator.
    using FailureHandler = std::function<void(std::int32_t code, const std::string& message)>;

    explicit DriverCore(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

    void setFailureHandler(FailureHandler handler);
    void disconnect();

    // Answers reads from a snapshot of the card instead of one request each.
    // Every initialisation fetches a fresh snapshot in the same round trip,
    // so the reads of a poll tick cost no round trip of their own. Writes
    // (and boots, link op codes, encoder resets) go out at once and drop the
    // snapshot, as does any failure; a write's answer brings the snapshot
    // taken after it, and otherwise the next read fetches a new one, so a
    // read after a write sees the write. A snapshot older than `maxAge`
    // is not used either. A simulator that offers no snapshots is asked
    // operation by operation. The snapshot comes in its compact form (a flat
    // table each read copies from); one in the JSON form is used as well.
    void useSnapshots(std::chrono::milliseconds maxAge);

    // How long a snapshot answers reads in both libraries. A poll tick makes
    // all its reads right after its initialisation, which brings a fresh
    // snapshot; a read long after one (outside a tick) fetches its own.
    static constexpr std::chrono::milliseconds kSnapshotMaxAge{250};

    // Operations; `card` is the card the request addresses. Every one
    // answers KVX_E_NO_CONNECTION when the simulator cannot be reached,
    // KVX_E_PROTOCOL for a malformed answer and KVX_E_BAD_ARGUMENT for a null
    // pointer or an unknown axis record. None throws.
    std::int32_t hello(std::int32_t* cardCount);
    std::int32_t init(int card, void* axisTable, void* systemInfo, std::int32_t* boardType);
    std::int32_t boot(int card, const char* file);
    std::int32_t readStatus(int card, void* record, std::int32_t size);
    std::int32_t readAxisState(int card, void* record);      // rdaxst
    std::int32_t readInterfaceStatus(int card, void* table); // rdifs
    std::int32_t readModuleStatus(int card, void* record);   // rdasms
    std::int32_t readModuleCheckSum(int card, void* record); // rdasmecs
    std::int32_t readPositionErrorLimit(int card, void* record);  // rdmpe
    std::int32_t readEncoderError(int card, std::int32_t axis);   // rddigib: nonzero = error
    std::int32_t resetEncoderError(int card, void* record);       // rdigi
    std::int32_t readOption(int card, void* descriptor, std::int32_t* value);
    std::int32_t readEnvironment(int card, char* buffer);
    std::int32_t readOsVersion(int card, std::int32_t* value);
    std::int32_t readPldRevision(int card, std::int32_t* value);
    std::int32_t readSampleTime(int card, std::int32_t* value);
    std::int32_t readErrorRegister(int card, std::int32_t* value);
    std::int32_t writeErrorRegister(int card, const std::int32_t* value);
    std::int32_t readMiniportVersion(int card);  // the word; 0 when unreachable
    std::int32_t sendLinkOpCode(int card, std::int32_t opcode);
    std::int32_t readTaskState(int card, std::int32_t task, void* record);
    std::int32_t readTaskFile(int card, std::int32_t task, void* record);

private:
    using Clock = std::chrono::steady_clock;

    // The answer, valid until the next request (it may lie in the snapshot);
    // null when the simulator could not be reached.
    nlohmann::json* request(nlohmann::json req, int card);
    std::optional<nlohmann::json> send(const nlohmann::json& req);
    nlohmann::json* keep(std::optional<nlohmann::json> answer);
    // The answer to a read from a fresh snapshot in the JSON form; null:
    // ask the simulator directly.
    nlohmann::json* fromSnapshot(const std::string& key, const nlohmann::json& req, int card);
    void keepSnapshot(nlohmann::json snapshot, int card);
    // The flat snapshot that answers a read of `card` now, fetched when no
    // snapshot is fresh. Null: none in the compact form, ask through
    // request(); `failed` is set when the simulator could not be reached.
    const FlatSnapshot* flat(int card, bool& failed);
    // Keeps the compact snapshot the last answer carried; false when it
    // carried none. A malformed one throws answer::MalformedAnswer.
    bool keepFlat(int card);
    bool fresh(int card) const;
    void dropSnapshot();
    // Runs one operation; a malformed answer, or anything else that would
    // throw, answers `onMalformed` instead.
    template <typename Call>
    std::int32_t guarded(std::int32_t onMalformed, Call call) noexcept;
    std::int32_t readWord(int card, const char* op, std::int32_t* value);
    std::int32_t readWord(int card, const char* op, std::uint32_t& value);  // under the lock
    static int wordRead(const char* op);  // its FlatSnapshot::WordRead
    // Reads one field of an axis record: `field` of the answer to its offset.
    std::int32_t readAxis(int card, void* record, std::size_t offset, const char* field);
    int axisIndexOf(const void* record) const;

    // Calls arrive one at a time, but a failure handler may call back in.
    std::recursive_mutex mutex_;
    std::unique_ptr<Transport> transport_;
    FailureHandler onFailure_;
    const std::uint8_t* axisTable_ = nullptr;  // remembered from the last initialisation

    bool snapshotsWanted_ = false;
    bool snapshotsOffered_ = true;  // until the simulator says otherwise
    Clock::duration maxAge_{};
    std::optional<nlohmann::json> snapshot_;  // the JSON form
    bool haveFlat_ = false;                   // the compact form, in flat_
    FlatSnapshot flat_;
    FlatSnapshot flatScratch_;
    std::string compact_;  // the compact snapshot the last answer carried, as it came  // decoded into first, so a malformed one leaves flat_ alone
    nlohmann::json lastAnswer_;  // the last answer that came over the transport
    // Until when reads fail at once after a request that failed slowly.
    static constexpr std::chrono::seconds kLinkDownFor{1};
    Clock::time_point linkDownUntil_{};
    std::string lastError_;  // why the last request failed
    int snapshotCard_ = 0;
    Clock::time_point snapshotTime_{};
};

}  // namespace kvxsim
