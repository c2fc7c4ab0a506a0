// kvxg3X.DLL: the remote driver library. Reaches the simulated controller's
// web services over HTTP at the URL given to KvxG3XOpen; a request that
// cannot reach them calls the error routine registered for the handle.
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "driver/kvxg3_api.h"
#include "lib/driver_core.h"
#include "lib/export.h"

namespace {

// One open connection. The error routine is read at the moment of a
// failure, so registering it after the open takes effect at once. Reads are
// answered from the snapshot of the tick, so a tick costs one round trip to
// the web services however many reads it makes.
struct RemoteConnection {
    explicit RemoteConnection(std::unique_ptr<kvxsim::Transport> transport) : core(std::move(transport)) {
        core.useSnapshots(kvxsim::DriverCore::kSnapshotMaxAge);
        core.setFailureHandler([this](int32_t code, const std::string& message) {
            if (KvxErrorRoutine routine = errorRoutine) routine(code, message.c_str());
        });
    }
    kvxsim::DriverCore core;
    std::atomic<KvxErrorRoutine> errorRoutine{nullptr};
};

std::mutex connectionsMutex;
std::map<KvxHandle, std::shared_ptr<RemoteConnection>> connections;
KvxHandle nextHandle = 1;

// The connection stays alive for a call in flight even when another thread
// closes its handle meanwhile.
std::shared_ptr<RemoteConnection> find(KvxHandle h) {
    std::lock_guard lock(connectionsMutex);
    auto it = connections.find(h);
    return it == connections.end() ? nullptr : it->second;
}

// The operations themselves never throw; this catches what the handle
// bookkeeping may (no memory), so nothing unwinds into the caller.
template <typename Call>
int32_t noThrow(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return KVX_E_PROTOCOL;
    }
}

template <typename Call>
int32_t withConnection(KvxHandle h, Call call, int32_t withoutConnection = KVX_E_BAD_HANDLE) noexcept {
    return noThrow([&]() -> int32_t {
        auto connection = find(h);
        return connection ? call(connection->core) : withoutConnection;
    });
}

// The remote form addresses the controller behind the URL, card 0.
constexpr int kCard = 0;

}  // namespace

KVX_EXPORT int32_t KvxG3XOpen(const char* url, int32_t /*reserved*/, const char* /*devFile*/, int32_t /*mode*/,
                              KvxHandle* handle) {
    return noThrow([&]() -> int32_t {
        if (!url || !handle) return KVX_E_BAD_ARGUMENT;
        auto transport = kvxsim::makeHttpTransport(url);
        if (!transport) return KVX_E_BAD_ARGUMENT;
        auto connection = std::make_shared<RemoteConnection>(std::move(transport));
        // The connection is open only when the web services answer.
        int32_t rc = connection->core.hello(nullptr);
        if (rc != KVX_OK) return rc;
        std::lock_guard lock(connectionsMutex);
        KvxHandle h = nextHandle++;
        if (nextHandle <= 0) nextHandle = 1;
        connections[h] = connection;
        *handle = h;
        return int32_t{KVX_OK};
    });
}

KVX_EXPORT int32_t KvxG3Close(KvxHandle h) {
    return noThrow([&]() -> int32_t {
        std::shared_ptr<RemoteConnection> connection;
        {
            std::lock_guard lock(connectionsMutex);
            auto it = connections.find(h);
            if (it == connections.end()) return int32_t{KVX_E_BAD_HANDLE};
            connection = it->second;
            connections.erase(it);
        }
        connection->core.disconnect();
        return int32_t{KVX_OK};
    });
}

KVX_EXPORT int32_t KVXG3_SetDllErrorRoutine(KvxHandle h, KvxErrorRoutine routine) {
    return noThrow([&]() -> int32_t {
        auto connection = find(h);
        if (!connection) return int32_t{KVX_E_BAD_HANDLE};
        connection->errorRoutine = routine;
        return int32_t{KVX_OK};
    });
}

KVX_EXPORT int32_t InitKvxSystem(KvxHandle h, void* axisTable, void* systemInfo, const char* /*systemFile*/,
                                 int32_t* boardType) {
    return withConnection(h, [&](auto& core) { return core.init(kCard, axisTable, systemInfo, boardType); });
}
KVX_EXPORT int32_t BootFile(KvxHandle h, const char* osFile) {
    return withConnection(h, [&](auto& core) { return core.boot(kCard, osFile); });
}
KVX_EXPORT int32_t rdKvxStatus(KvxHandle h, void* record, int32_t size) {
    return withConnection(h, [&](auto& core) { return core.readStatus(kCard, record, size); });
}
KVX_EXPORT int32_t rdaxst(KvxHandle h, void* record) {
    return withConnection(h, [&](auto& core) { return core.readAxisState(kCard, record); });
}
KVX_EXPORT int32_t rdifs(KvxHandle h, void* axisTable) {
    return withConnection(h, [&](auto& core) { return core.readInterfaceStatus(kCard, axisTable); });
}
KVX_EXPORT int32_t rdasms(KvxHandle h, void* record) {
    return withConnection(h, [&](auto& core) { return core.readModuleStatus(kCard, record); });
}
KVX_EXPORT int32_t rdasmecs(KvxHandle h, void* record) {
    return withConnection(h, [&](auto& core) { return core.readModuleCheckSum(kCard, record); });
}
KVX_EXPORT int32_t rdmpe(KvxHandle h, void* record) {
    return withConnection(h, [&](auto& core) { return core.readPositionErrorLimit(kCard, record); });
}
KVX_EXPORT int32_t rddigib(KvxHandle h, int32_t axis, int32_t /*count*/) {
    return withConnection(h, [&](auto& core) { return core.readEncoderError(kCard, axis); }, 0);
}
KVX_EXPORT int32_t rdigi(KvxHandle h, void* record) {
    return withConnection(h, [&](auto& core) { return core.resetEncoderError(kCard, record); });
}
KVX_EXPORT int32_t rdOptionInt(KvxHandle h, void* descriptor, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.readOption(kCard, descriptor, value); });
}
KVX_EXPORT int32_t getEnvStr(KvxHandle h, char* buffer) {
    return withConnection(h, [&](auto& core) { return core.readEnvironment(kCard, buffer); });
}
KVX_EXPORT int32_t rdOsVersion(KvxHandle h, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.readOsVersion(kCard, value); });
}
KVX_EXPORT int32_t rdPldVersion(KvxHandle h, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.readPldRevision(kCard, value); });
}
KVX_EXPORT int32_t rdSampleTime(KvxHandle h, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.readSampleTime(kCard, value); });
}
KVX_EXPORT int32_t rdErrorReg(KvxHandle h, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.readErrorRegister(kCard, value); });
}
KVX_EXPORT int32_t wrErrorReg(KvxHandle h, int32_t* value) {
    return withConnection(h, [&](auto& core) { return core.writeErrorRegister(kCard, value); });
}
KVX_EXPORT int32_t rdDriverVersion(KvxHandle h) {
    return withConnection(h, [&](auto& core) { return core.readMiniportVersion(kCard); }, 0);
}
KVX_EXPORT int32_t tvMXI_OpCodeToLinkMTX(KvxHandle h, int32_t opcode) {
    return withConnection(h, [&](auto& core) { return core.sendLinkOpCode(kCard, opcode); });
}
KVX_EXPORT int32_t rdcncts(KvxHandle h, int32_t task, void* record) {
    return withConnection(h, [&](auto& core) { return core.readTaskState(kCard, task, record); });
}
KVX_EXPORT int32_t getcnctfh(KvxHandle h, int32_t task, void* record) {
    return withConnection(h, [&](auto& core) { return core.readTaskFile(kCard, task, record); });
}
