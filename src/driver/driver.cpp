#include "driver/driver.h"

namespace kvx {

namespace {

// The remote library's error routine carries no context: while a run is
// recorded or its calls run elsewhere, the call reaches the facade through
// this pointer.
Driver* routingDriver = nullptr;

std::span<std::uint8_t> bytesOfText(std::string& text) {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Driver::~Driver() {
    if (routingDriver == this) routingDriver = nullptr;
}

void Driver::setTap(DriverTap* tap) {
    tap_ = tap;
    routeErrorRoutine();
}

void Driver::setCallWait(DriverCallWait* wait) {
    wait_ = wait;
    routeErrorRoutine();
}

void Driver::routeErrorRoutine() {
    if (tap_ || wait_) routingDriver = this;
    else if (routingDriver == this) routingDriver = nullptr;
}

template <typename Live>
DriverResult Driver::through(CallId id, std::int32_t key, Outputs outputs, Live&& live) const {
    if (replay_) {
        std::vector<ErrorRoutineCall> raised;
        const DriverResult r = replay_->answer(id, key, outputs, raised);
        for (const auto& e : raised)
            if (routine_) routine_(e.code, e.message.c_str());
        return r;
    }
    // Only the library's own operations may wait on a slow link; loading it
    // and the questions about its table answer at once.
    DriverResult r;
    if (wait_ && id < kOpCount) wait_->run([&] { r = live(); });
    else r = live();
    if (tap_) tap_->answered(id, key, r, outputs);
    return r;
}

void Driver::routedErrorRoutine(std::int32_t code, const char* message) {
    Driver* self = routingDriver;
    if (!self) return;
    const auto deliver = [&] {
        std::string text = message ? message : "";
        if (self->tap_) self->tap_->answered(call::ErrorRoutine, code, std::nullopt, {bytesOfText(text)});
        if (self->routine_) self->routine_(code, message);
    };
    if (self->wait_) self->wait_->callBack(deliver);
    else deliver();
}

bool Driver::bound(Op op, bool remote) const {
    void* p = remote ? table_[op].remote : table_[op].local;
    return p != nullptr && p != emptyRoutineAddress();
}

bool Driver::provides(Op op, bool remote) const {
    const std::int32_t key = static_cast<std::int32_t>(op) | (remote ? 256 : 0);
    return through(call::Provides, key, {}, [&]() -> DriverResult { return bound(op, remote) ? 1 : 0; })
               .value_or(0) != 0;
}

bool Driver::provides(Op op) const { return provides(op, remote_); }

int Driver::loadDriverLibrary(const std::string& baseName, bool remote, bool quickCheck) {
    return through(call::LoadLibrary, remote ? 1 : 0, {}, [&]() -> DriverResult {
               return library_ ? library_->loadDriverLibrary(baseName, remote, quickCheck) : 0;
           })
        .value_or(0);
}

bool Driver::libraryBinds(Op op, bool remote) const {
    const std::int32_t key = static_cast<std::int32_t>(op) | (remote ? 256 : 0);
    return through(call::LibraryBinds, key, {}, [&]() -> DriverResult {
               return library_ && library_->bound(op, remote) ? 1 : 0;
           })
               .value_or(0) != 0;
}

int Driver::unloadDriverLibrary() {
    return through(call::UnloadLibrary, 0, {}, [&]() -> DriverResult {
               return library_ ? library_->unloadDriverLibrary() : 1;
           })
        .value_or(1);
}

FileVersionInfo Driver::readFileVersion(const std::string& fileName) const {
    std::uint32_t numbers[5] = {};  // major, minor, release, build, valid
    through(call::FileVersion, 0, {bytesOf(numbers)}, [&]() -> DriverResult {
        const FileVersionInfo v = kvx::readFileVersion(fileName);
        numbers[0] = v.major, numbers[1] = v.minor, numbers[2] = v.release, numbers[3] = v.build;
        numbers[4] = v.valid ? 1 : 0;
        return 0;
    });
    return {numbers[0], numbers[1], numbers[2], numbers[3], numbers[4] != 0};
}

template <typename Fn>
Fn Driver::slot(Op op) const {
    if (!bound(op, remote_)) return nullptr;
    return reinterpret_cast<Fn>(remote_ ? table_[op].remote : table_[op].local);
}

// Calls the local form F(args...) or the remote form R(handle, args...).
#define KVX_CALL(op, LocalFn, RemoteFn, ...)                          \
    do {                                                              \
        if (remote_) {                                                \
            if (auto fn = slot<RemoteFn>(op)) return fn(handle_, __VA_ARGS__); \
        } else {                                                      \
            if (auto fn = slot<LocalFn>(op)) return fn(__VA_ARGS__);  \
        }                                                             \
    } while (0)

template <std::size_t N>
static std::span<std::uint8_t> bytesOf(ByteRecord<N>& record) {
    return {record.bytes.data(), N};
}

static std::span<std::uint8_t> bytesOf(AxisTable& table) {
    return {reinterpret_cast<std::uint8_t*>(table.data()), sizeof table};
}

DriverResult Driver::initSystem(AxisTable& axes, SystemInfo& info, std::int32_t baseAddress,
                                const std::string& systemFile, std::int32_t& boardType) {
    return through(call::of(Op::Init), 0, {bytesOf(axes), bytesOf(info), kvx::bytesOf(boardType)},
                   [&]() -> DriverResult {
                       if (remote_) {
                           if (auto fn = slot<KvxInitRemoteFn>(Op::Init))
                               return fn(handle_, axes.data(), info.data(), systemFile.c_str(), &boardType);
                       } else {
                           if (auto fn = slot<KvxInitLocalFn>(Op::Init))
                               return fn(axes.data(), info.data(), baseAddress, systemFile.c_str(), &boardType);
                       }
                       return std::nullopt;
                   });
}

DriverResult Driver::BootFile(const std::string& file, std::int32_t baseAddress) {
    return through(call::of(Op::BootFile), 0, {}, [&]() -> DriverResult {
        if (remote_) {
            if (auto fn = slot<KvxBootRemoteFn>(Op::BootFile)) return fn(handle_, file.c_str());
        } else {
            if (auto fn = slot<KvxBootLocalFn>(Op::BootFile)) return fn(file.c_str(), baseAddress);
        }
        return std::nullopt;
    });
}

DriverResult Driver::CardSelect(std::int32_t index) {
    if (remote_) return std::nullopt;
    return through(call::of(Op::CardSelect), index, {}, [&]() -> DriverResult {
        if (auto fn = slot<KvxCardSelectFn>(Op::CardSelect)) return fn(index);
        return std::nullopt;
    });
}

DriverResult Driver::closeConnection() {
    if (remote_) return closeRemote();
    return through(call::of(Op::Close), 0, {}, [&]() -> DriverResult {
        if (auto fn = slot<KvxCloseLocalFn>(Op::Close)) return fn();
        return std::nullopt;
    });
}

DriverResult Driver::closeRemote() {
    const DriverResult r = through(call::of(Op::Close), 1, {}, [&]() -> DriverResult {
        if (bound(Op::Close, true)) return reinterpret_cast<KvxCloseRemoteFn>(table_[Op::Close].remote)(handle_);
        return std::nullopt;
    });
    handle_ = 0;
    return r;
}

DriverResult Driver::KvxG3XOpen(const std::string& url, const std::string& devFile) {
    if (!remote_) return std::nullopt;
    KvxHandle h = 0;
    const DriverResult r = through(call::of(Op::KvxG3XOpen), 0, {kvx::bytesOf(h)}, [&]() -> DriverResult {
        auto fn = slot<KvxOpenRemoteFn>(Op::KvxG3XOpen);
        if (!fn) return std::nullopt;
        return fn(url.c_str(), 0, devFile.c_str(), 5, &h);
    });
    if (r == 0) handle_ = h;
    return r;
}

DriverResult Driver::KVXG3_SetDllErrorRoutine(KvxErrorRoutine routine) {
    if (!remote_) return std::nullopt;
    routine_ = routine;
    // While recording, or while calls run on another thread, the library
    // calls the facade, which notes the call and passes it on where the
    // program waits.
    KvxErrorRoutine registered = tap_ || wait_ ? &Driver::routedErrorRoutine : routine;
    return through(call::of(Op::KVXG3_SetDllErrorRoutine), 0, {}, [&]() -> DriverResult {
        if (auto fn = slot<KvxSetErrorRoutineFn>(Op::KVXG3_SetDllErrorRoutine)) return fn(handle_, registered);
        return std::nullopt;
    });
}

DriverResult Driver::rdKvxStatus(StatusRecord& status) {
    return through(call::of(Op::rdKvxStatus), 0, {bytesOf(status)}, [&]() -> DriverResult {
        KVX_CALL(Op::rdKvxStatus, KvxStatusLocalFn, KvxStatusRemoteFn, status.data(),
                 static_cast<std::int32_t>(StatusRecord::kSize));
        return std::nullopt;
    });
}

DriverResult Driver::rdaxst(AxisRecord& axis) {
    return through(call::of(Op::rdaxst), 0, {bytesOf(axis)}, [&]() -> DriverResult {
        KVX_CALL(Op::rdaxst, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
        axis.setAxisStateWord(0);
        return std::nullopt;
    });
}

DriverResult Driver::rdifs(AxisTable& axes) {
    return through(call::of(Op::rdifs), 0, {bytesOf(axes)}, [&]() -> DriverResult {
        KVX_CALL(Op::rdifs, KvxRecordLocalFn, KvxRecordRemoteFn, axes.data());
        axes[0].setStatusWord(0);
        return std::nullopt;
    });
}

// The operations on one axis record whose missing form leaves it unchanged.
#define KVX_AXIS_RECORD_OP(name)                                                      \
    DriverResult Driver::name(AxisRecord& axis) {                                     \
        return through(call::of(Op::name), 0, {bytesOf(axis)}, [&]() -> DriverResult { \
            KVX_CALL(Op::name, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());     \
            return std::nullopt;                                                      \
        });                                                                           \
    }
KVX_AXIS_RECORD_OP(rdasms)
KVX_AXIS_RECORD_OP(rdasmecs)
KVX_AXIS_RECORD_OP(rdmpe)
KVX_AXIS_RECORD_OP(rdigi)
#undef KVX_AXIS_RECORD_OP

DriverResult Driver::rddigib(std::int32_t axis) {
    return through(call::of(Op::rddigib), axis, {}, [&]() -> DriverResult {
        KVX_CALL(Op::rddigib, KvxDigibLocalFn, KvxDigibRemoteFn, axis, 18);
        return std::nullopt;
    });
}

DriverResult Driver::rdOptionInt(OptionDescriptor& descriptor, std::int32_t& value) {
    return through(call::of(Op::rdOptionInt), descriptor.option(), {bytesOf(descriptor), kvx::bytesOf(value)},
                   [&]() -> DriverResult {
                       KVX_CALL(Op::rdOptionInt, KvxOptionLocalFn, KvxOptionRemoteFn, descriptor.data(), &value);
                       return std::nullopt;
                   });
}

DriverResult Driver::getEnvStr(EnvBuffer& buffer) {
    // The name goes along (after the value), so a recording says which variable was read.
    EnvBuffer name = buffer;
    return through(call::of(Op::getEnvStr), 0, {bytesOf(buffer), bytesOf(name)}, [&]() -> DriverResult {
        KVX_CALL(Op::getEnvStr, KvxEnvLocalFn, KvxEnvRemoteFn, buffer.chars());
        return std::nullopt;
    });
}

// The operations that read or write one 32-bit value.
#define KVX_VALUE_OP(name)                                                                         \
    DriverResult Driver::name(std::int32_t& value) {                                               \
        return through(call::of(Op::name), 0, {kvx::bytesOf(value)}, [&]() -> DriverResult {       \
            KVX_CALL(Op::name, KvxIntLocalFn, KvxIntRemoteFn, &value);                             \
            return std::nullopt;                                                                   \
        });                                                                                        \
    }
KVX_VALUE_OP(rdOsVersion)
KVX_VALUE_OP(rdPldVersion)
KVX_VALUE_OP(rdSampleTime)
KVX_VALUE_OP(rdErrorReg)
KVX_VALUE_OP(wrErrorReg)
#undef KVX_VALUE_OP

DriverResult Driver::rdDriverVersion() {
    if (remote_) return std::nullopt;
    return through(call::of(Op::rdDriverVersion), 0, {}, [&]() -> DriverResult {
        if (auto fn = slot<KvxDriverVersionFn>(Op::rdDriverVersion)) return fn();
        return std::nullopt;
    });
}

DriverResult Driver::tvMXI_OpCodeToLinkMTX(std::int32_t card, std::int32_t opcode) {
    return through(call::of(Op::tvMXI_OpCodeToLinkMTX), opcode, {}, [&]() -> DriverResult {
        if (remote_) {
            if (auto fn = slot<KvxOpCodeRemoteFn>(Op::tvMXI_OpCodeToLinkMTX)) return fn(handle_, opcode);
        } else {
            if (auto fn = slot<KvxOpCodeLocalFn>(Op::tvMXI_OpCodeToLinkMTX)) return fn(card, opcode);
        }
        return std::nullopt;
    });
}

DriverResult Driver::rdcncts(std::int32_t task, TaskStateRecord& state) {
    return through(call::of(Op::rdcncts), task, {bytesOf(state)}, [&]() -> DriverResult {
        KVX_CALL(Op::rdcncts, KvxTaskLocalFn, KvxTaskRemoteFn, task, state.data());
        state.clear();
        return std::nullopt;
    });
}

DriverResult Driver::getcnctfh(std::int32_t task, TaskFileRecord& file) {
    return through(call::of(Op::getcnctfh), task, {bytesOf(file)}, [&]() -> DriverResult {
        KVX_CALL(Op::getcnctfh, KvxTaskLocalFn, KvxTaskRemoteFn, task, file.data());
        file.clear();
        return std::nullopt;
    });
}

#undef KVX_CALL

}  // namespace kvx
