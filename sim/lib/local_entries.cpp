// kvxg3.dll: the local driver library. Reaches the simulated card through
// the daemon's unix socket, the way the real library reaches the card
// through its kernel driver. Like the remote library it answers a tick's
// reads from the snapshot its initialisation brings along: one round trip
// per steady tick instead of one per read.
#include "driver/kvxg3_api.h"
#include "lib/driver_core.h"
#include "lib/export.h"

namespace {

struct LocalDriver {
    LocalDriver() { core.useSnapshots(kvxsim::DriverCore::kSnapshotMaxAge); }
    kvxsim::DriverCore core{kvxsim::makeUnixSocketTransport()};
    int selectedCard = 0;  // follows CardSelect
};

LocalDriver& driver() {
    static LocalDriver instance;
    return instance;
}

int card() { return driver().selectedCard; }

// Runs one entry point. The operations themselves never throw; this catches
// what setting the library up may (no memory), so nothing unwinds into the
// caller.
template <typename Call>
int32_t entry(Call call, int32_t onFailure = KVX_E_PROTOCOL) noexcept {
    try {
        return call(driver().core);
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

KVX_EXPORT int32_t InitKvxSystem3(void* axisTable, void* systemInfo, int32_t /*baseAddress*/,
                                  const char* /*systemFile*/, int32_t* boardType) {
    int32_t rc = entry([&](auto& core) { return core.init(card(), axisTable, systemInfo, boardType); });
    // Without the daemon there is no kernel driver to talk to.
    return rc == KVX_E_NO_CONNECTION ? KVX_INIT_NO_MINIPORT : rc;
}

KVX_EXPORT int32_t BootFile(const char* bootFile, int32_t /*baseAddress*/) {
    return entry([&](auto& core) { return core.boot(card(), bootFile); });
}

KVX_EXPORT int32_t CardSelect(int32_t index) {
    int32_t count = 0;
    int32_t rc = entry([&](auto& core) { return core.hello(&count); });
    if (rc == KVX_OK && index >= 0 && index < count) {
        driver().selectedCard = index;  // set up by the call above
        return index;
    }
    // A refused index leaves the card selected before, as the card driver does.
    // Any answer but the index means "no such card".
    return index == KVX_E_NO_CARD ? KVX_E_NO_CONNECTION : KVX_E_NO_CARD;
}

KVX_EXPORT int32_t KvxClose(void) {
    return entry([](auto& core) {
        core.disconnect();
        return int32_t{KVX_OK};
    });
}

KVX_EXPORT int32_t rdKvxStatus(void* record, int32_t size) {
    return entry([&](auto& core) { return core.readStatus(card(), record, size); });
}
KVX_EXPORT int32_t rdaxst(void* record) {
    return entry([&](auto& core) { return core.readAxisState(card(), record); });
}
KVX_EXPORT int32_t rdifs(void* axisTable) {
    return entry([&](auto& core) { return core.readInterfaceStatus(card(), axisTable); });
}
KVX_EXPORT int32_t rdasms(void* record) {
    return entry([&](auto& core) { return core.readModuleStatus(card(), record); });
}
KVX_EXPORT int32_t rdasmecs(void* record) {
    return entry([&](auto& core) { return core.readModuleCheckSum(card(), record); });
}
KVX_EXPORT int32_t rdmpe(void* record) {
    return entry([&](auto& core) { return core.readPositionErrorLimit(card(), record); });
}
KVX_EXPORT int32_t rddigib(int32_t axis, int32_t /*count*/) {
    return entry([&](auto& core) { return core.readEncoderError(card(), axis); }, 0);
}
KVX_EXPORT int32_t rdigi(void* record) {
    return entry([&](auto& core) { return core.resetEncoderError(card(), record); });
}
KVX_EXPORT int32_t rdOptionInt(void* descriptor, int32_t* value) {
    return entry([&](auto& core) { return core.readOption(card(), descriptor, value); });
}
KVX_EXPORT int32_t getEnvStr(char* buffer) {
    return entry([&](auto& core) { return core.readEnvironment(card(), buffer); });
}
KVX_EXPORT int32_t rdOsVersion(int32_t* value) {
    return entry([&](auto& core) { return core.readOsVersion(card(), value); });
}
KVX_EXPORT int32_t rdPldVersion(int32_t* value) {
    return entry([&](auto& core) { return core.readPldRevision(card(), value); });
}
KVX_EXPORT int32_t rdSampleTime(int32_t* value) {
    return entry([&](auto& core) { return core.readSampleTime(card(), value); });
}
KVX_EXPORT int32_t rdErrorReg(int32_t* value) {
    return entry([&](auto& core) { return core.readErrorRegister(card(), value); });
}
KVX_EXPORT int32_t wrErrorReg(int32_t* value) {
    return entry([&](auto& core) { return core.writeErrorRegister(card(), value); });
}
KVX_EXPORT int32_t rdDriverVersion(void) {
    return entry([&](auto& core) { return core.readMiniportVersion(card()); }, 0);
}
KVX_EXPORT int32_t tvMXI_OpCodeToLinkMTX(int32_t cardIndex, int32_t opcode) {
    return entry([&](auto& core) { return core.sendLinkOpCode(cardIndex, opcode); });
}
KVX_EXPORT int32_t rdcncts(int32_t task, void* record) {
    return entry([&](auto& core) { return core.readTaskState(card(), task, record); });
}
KVX_EXPORT int32_t getcnctfh(int32_t task, void* record) {
    return entry([&](auto& core) { return core.readTaskFile(card(), task, record); });
}
