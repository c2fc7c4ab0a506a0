#include "driver/driver.h"

namespace kvx {

bool Driver::provides(Op op, bool remote) const {
    void* p = remote ? table_[op].remote : table_[op].local;
    return p != nullptr && p != emptyRoutineAddress();
}

bool Driver::provides(Op op) const { return provides(op, remote_); }

template <typename Fn>
Fn Driver::slot(Op op) const {
    if (!provides(op)) return nullptr;
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

DriverResult Driver::initSystem(AxisTable& axes, SystemInfo& info, std::int32_t baseAddress,
                                const std::string& systemFile, std::int32_t& boardType) {
    if (remote_) {
        if (auto fn = slot<KvxInitRemoteFn>(Op::Init))
            return fn(handle_, axes.data(), info.data(), systemFile.c_str(), &boardType);
    } else {
        if (auto fn = slot<KvxInitLocalFn>(Op::Init))
            return fn(axes.data(), info.data(), baseAddress, systemFile.c_str(), &boardType);
    }
    return std::nullopt;
}

DriverResult Driver::BootFile(const std::string& file, std::int32_t baseAddress) {
    if (remote_) {
        if (auto fn = slot<KvxBootRemoteFn>(Op::BootFile)) return fn(handle_, file.c_str());
    } else {
        if (auto fn = slot<KvxBootLocalFn>(Op::BootFile)) return fn(file.c_str(), baseAddress);
    }
    return std::nullopt;
}

DriverResult Driver::CardSelect(std::int32_t index) {
    if (remote_) return std::nullopt;
    if (auto fn = slot<KvxCardSelectFn>(Op::CardSelect)) return fn(index);
    return std::nullopt;
}

DriverResult Driver::closeConnection() {
    if (remote_) return closeRemote();
    if (auto fn = slot<KvxCloseLocalFn>(Op::Close)) return fn();
    return std::nullopt;
}

DriverResult Driver::closeRemote() {
    DriverResult r;
    if (provides(Op::Close, true))
        r = reinterpret_cast<KvxCloseRemoteFn>(table_[Op::Close].remote)(handle_);
    handle_ = 0;
    return r;
}

DriverResult Driver::KvxG3XOpen(const std::string& url, const std::string& devFile) {
    if (!remote_) return std::nullopt;
    auto fn = slot<KvxOpenRemoteFn>(Op::KvxG3XOpen);
    if (!fn) return std::nullopt;
    KvxHandle h = 0;
    std::int32_t r = fn(url.c_str(), 0, devFile.c_str(), 5, &h);
    if (r == 0) handle_ = h;
    return r;
}

DriverResult Driver::KVXG3_SetDllErrorRoutine(KvxErrorRoutine routine) {
    if (!remote_) return std::nullopt;
    if (auto fn = slot<KvxSetErrorRoutineFn>(Op::KVXG3_SetDllErrorRoutine)) return fn(handle_, routine);
    return std::nullopt;
}

DriverResult Driver::rdKvxStatus(StatusRecord& status) {
    KVX_CALL(Op::rdKvxStatus, KvxStatusLocalFn, KvxStatusRemoteFn, status.data(),
             static_cast<std::int32_t>(StatusRecord::kSize));
    return std::nullopt;
}

DriverResult Driver::rdaxst(AxisRecord& axis) {
    KVX_CALL(Op::rdaxst, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
    axis.setAxisStateWord(0);
    return std::nullopt;
}

DriverResult Driver::rdifs(AxisTable& axes) {
    KVX_CALL(Op::rdifs, KvxRecordLocalFn, KvxRecordRemoteFn, axes.data());
    axes[0].setStatusWord(0);
    return std::nullopt;
}

DriverResult Driver::rdasms(AxisRecord& axis) {
    KVX_CALL(Op::rdasms, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
    return std::nullopt;
}

DriverResult Driver::rdasmecs(AxisRecord& axis) {
    KVX_CALL(Op::rdasmecs, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
    return std::nullopt;
}

DriverResult Driver::rdmpe(AxisRecord& axis) {
    KVX_CALL(Op::rdmpe, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
    return std::nullopt;
}

DriverResult Driver::rdigi(AxisRecord& axis) {
    KVX_CALL(Op::rdigi, KvxRecordLocalFn, KvxRecordRemoteFn, axis.data());
    return std::nullopt;
}

DriverResult Driver::rddigib(std::int32_t axis) {
    KVX_CALL(Op::rddigib, KvxDigibLocalFn, KvxDigibRemoteFn, axis, 18);
    return std::nullopt;
}

DriverResult Driver::rdOptionInt(OptionDescriptor& descriptor, std::int32_t& value) {
    KVX_CALL(Op::rdOptionInt, KvxOptionLocalFn, KvxOptionRemoteFn, descriptor.data(), &value);
    return std::nullopt;
}

DriverResult Driver::getEnvStr(EnvBuffer& buffer) {
    KVX_CALL(Op::getEnvStr, KvxEnvLocalFn, KvxEnvRemoteFn, buffer.chars());
    return std::nullopt;
}

DriverResult Driver::rdOsVersion(std::int32_t& value) {
    KVX_CALL(Op::rdOsVersion, KvxIntLocalFn, KvxIntRemoteFn, &value);
    return std::nullopt;
}

DriverResult Driver::rdPldVersion(std::int32_t& value) {
    KVX_CALL(Op::rdPldVersion, KvxIntLocalFn, KvxIntRemoteFn, &value);
    return std::nullopt;
}

DriverResult Driver::rdSampleTime(std::int32_t& value) {
    KVX_CALL(Op::rdSampleTime, KvxIntLocalFn, KvxIntRemoteFn, &value);
    return std::nullopt;
}

DriverResult Driver::rdErrorReg(std::int32_t& value) {
    KVX_CALL(Op::rdErrorReg, KvxIntLocalFn, KvxIntRemoteFn, &value);
    return std::nullopt;
}

DriverResult Driver::wrErrorReg(std::int32_t& value) {
    KVX_CALL(Op::wrErrorReg, KvxIntLocalFn, KvxIntRemoteFn, &value);
    return std::nullopt;
}

DriverResult Driver::rdDriverVersion() {
    if (remote_) return std::nullopt;
    if (auto fn = slot<KvxDriverVersionFn>(Op::rdDriverVersion)) return fn();
    return std::nullopt;
}

DriverResult Driver::tvMXI_OpCodeToLinkMTX(std::int32_t card, std::int32_t opcode) {
    if (remote_) {
        if (auto fn = slot<KvxOpCodeRemoteFn>(Op::tvMXI_OpCodeToLinkMTX)) return fn(handle_, opcode);
    } else {
        if (auto fn = slot<KvxOpCodeLocalFn>(Op::tvMXI_OpCodeToLinkMTX)) return fn(card, opcode);
    }
    return std::nullopt;
}

DriverResult Driver::rdcncts(std::int32_t task, TaskStateRecord& state) {
    KVX_CALL(Op::rdcncts, KvxTaskLocalFn, KvxTaskRemoteFn, task, state.data());
    state.clear();
    return std::nullopt;
}

DriverResult Driver::getcnctfh(std::int32_t task, TaskFileRecord& file) {
    KVX_CALL(Op::getcnctfh, KvxTaskLocalFn, KvxTaskRemoteFn, task, file.data());
    file.clear();
    return std::nullopt;
}

#undef KVX_CALL

}  // namespace kvx
