#include "support/scripted_driver.h"

#include <cstring>
#include <stdexcept>

namespace kvx::test {

namespace {

ScriptedDriver* g_current = nullptr;

ControllerState& ctl() { return ScriptedDriver::current().controller; }

// Starts a call record: handle first for the remote form.
Call call(const char* name, bool remote, KvxHandle h) {
    Call c;
    c.name = name;
    c.remote = remote;
    if (remote) c.args.push_back(h);
    return c;
}

void log(Call c) { ScriptedDriver::current().log.add(std::move(c)); }

std::int64_t indexOf(const void* record) { return ScriptedDriver::current().recordIndex(record); }

std::uint8_t* bytes(void* p) { return static_cast<std::uint8_t*>(p); }

// Writes `s` into a field of `size` bytes; the terminator only if it fits.
void putText(std::uint8_t* field, std::size_t size, const std::string& s) {
    std::memset(field, 0, size);
    std::memcpy(field, s.data(), s.size() < size ? s.size() : size);
}

// ---- one implementation per operation, called by both forms ------------

std::int32_t init(Call c, void* axisTable, void* systemInfo, const char* file, std::int32_t* boardType) {
    ScriptedDriver& d = ScriptedDriver::current();
    d.attachAxisTable(axisTable);
    c.text = file ? file : "";
    log(std::move(c));
    auto* info = bytes(systemInfo);
    putText(info + SystemInfo::kTavosName, SystemInfo::kTavosNameSize, d.controller.tavosName);
    le::write32(info + SystemInfo::kAxisCount, static_cast<std::uint32_t>(d.controller.axisCount));
    *boardType = d.controller.boardType;
    return d.controller.initResult;
}

std::int32_t recordOp(Call c, void* record, void (*apply)(std::uint8_t*, std::int64_t)) {
    const std::int64_t i = indexOf(record);
    c.args.push_back(i);
    log(std::move(c));
    if (apply && i >= 0 && i < 18) apply(bytes(record), i);
    return 0;
}

void writeAxisState(std::uint8_t* r, std::int64_t i) {
    le::write32(r + AxisRecord::kAxisStateWord, ctl().axisState[static_cast<std::size_t>(i)]);
}
void writeStatusWord(std::uint8_t* r, std::int64_t i) {
    le::write32(r + AxisRecord::kStatusWord, ctl().statusWord[static_cast<std::size_t>(i)]);
}
void writeCheckSum(std::uint8_t* r, std::int64_t i) {
    le::write32(r + AxisRecord::kEpromCheckSum, ctl().checkSum[static_cast<std::size_t>(i)]);
}
void writeLimit(std::uint8_t* r, std::int64_t i) {
    le::writeDouble(r + AxisRecord::kMaxPositionErrorLimit, ctl().maxPositionErrorLimit[static_cast<std::size_t>(i)]);
}

std::int32_t digib(Call c, std::int32_t axis, std::int32_t count) {
    c.args.push_back(axis);
    c.args.push_back(count);
    log(std::move(c));
    return axis >= 0 && axis < 18 ? ctl().encoderError[static_cast<std::size_t>(axis)] : 0;
}

std::int32_t option(Call c, void* descriptor, std::int32_t* value) {
    auto* d = bytes(descriptor);
    const auto number = static_cast<std::int32_t>(le::read32(d + 16));
    c.args.push_back(number);
    c.args.push_back(le::read32(d));
    log(std::move(c));
    le::write32(d, le::read32(d) + 1);  // the driver keeps its own state in word 0
    auto it = ctl().options.find(number);
    if (it == ctl().options.end() || !it->second.readable) return 0;
    *value = it->second.value;
    return KVX_OPTION_READ;
}

std::int32_t env(Call c, char* buffer) {
    c.text = le::text(reinterpret_cast<const std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE);
    auto it = ctl().env.find(c.text);
    log(std::move(c));
    if (it == ctl().env.end()) return 0;
    putText(reinterpret_cast<std::uint8_t*>(buffer), KVX_ENV_BUFFER_SIZE, it->second);
    return it->second.empty() ? 1 : static_cast<std::int32_t>(it->second.size());
}

std::int32_t osVersion(Call c, std::int32_t* v) {
    log(std::move(c));
    if (ctl().osVersionResult == 0) *v = ctl().osVersion;
    return ctl().osVersionResult;
}
std::int32_t pld(Call c, std::int32_t* v) {
    log(std::move(c));
    *v = ctl().pldRevision;
    return 0;
}
std::int32_t sampleTime(Call c, std::int32_t* v) {
    log(std::move(c));
    *v = ctl().sampleTime;
    return 0;
}
std::int32_t readErrorReg(Call c, std::int32_t* v) {
    log(std::move(c));
    *v = ctl().errorRegister;
    return 0;
}
std::int32_t writeErrorReg(Call c, std::int32_t* v) {
    c.args.push_back(*v);
    log(std::move(c));
    ctl().errorRegister = *v;
    return 0;
}
std::int32_t status(Call c, void* record, std::int32_t size) {
    c.args.push_back(size);
    log(std::move(c));
    const std::size_t n = size > 0 && static_cast<std::size_t>(size) < 240 ? static_cast<std::size_t>(size) : 240;
    for (std::size_t off = 0; off + 4 <= n; off += 4) le::write32(bytes(record) + off, ctl().statusWords[off / 4]);
    return 0;
}
std::int32_t opcode(Call c, std::int32_t opcodeValue) {
    c.args.push_back(opcodeValue);
    log(std::move(c));
    return 0;
}
std::int32_t taskState(Call c, std::int32_t task, void* record) {
    c.args.push_back(task);
    log(std::move(c));
    if (task < 0 || task > 3) return -1;
    const ScriptedTask& t = ctl().tasks[static_cast<std::size_t>(task)];
    std::memset(record, 0, KVX_TASK_STATE_SIZE);
    le::write32(bytes(record), static_cast<std::uint32_t>(t.errorNumber));
    le::write32(bytes(record) + 4, static_cast<std::uint32_t>(t.errorLine));
    le::write32(bytes(record) + 12, t.state);
    return 0;
}
std::int32_t taskFile(Call c, std::int32_t task, void* record) {
    c.args.push_back(task);
    log(std::move(c));
    if (task < 0 || task > 3) return -1;
    std::memset(record, 0, KVX_TASK_FILE_SIZE);
    putText(bytes(record) + TaskFileRecord::kFileName, KVX_TASK_FILE_SIZE - TaskFileRecord::kFileName,
            ctl().tasks[static_cast<std::size_t>(task)].fileName);
    return 0;
}

// ---- local forms ---------------------------------------------------------

std::int32_t L_Init(void* axes, void* info, std::int32_t base, const char* file, std::int32_t* board) {
    Call c = call("InitKvxSystem3", false, 0);
    c.args.push_back(base);
    return init(std::move(c), axes, info, file, board);
}
std::int32_t L_Boot(const char* file, std::int32_t base) {
    Call c = call("BootFile", false, 0);
    c.args.push_back(base);
    c.text = file ? file : "";
    log(std::move(c));
    return ctl().bootResult;
}
std::int32_t L_CardSelect(std::int32_t index) {
    Call c = call("CardSelect", false, 0);
    c.args.push_back(index);
    log(std::move(c));
    return index >= 0 && index < ctl().cardCount ? index : -1;
}
std::int32_t L_Close() {
    log(call("KvxClose", false, 0));
    return 0;
}
std::int32_t L_Status(void* r, std::int32_t size) { return status(call("rdKvxStatus", false, 0), r, size); }
std::int32_t L_rdaxst(void* r) { return recordOp(call("rdaxst", false, 0), r, writeAxisState); }
std::int32_t L_rdifs(void* r) { return recordOp(call("rdifs", false, 0), r, writeStatusWord); }
std::int32_t L_rdasms(void* r) { return recordOp(call("rdasms", false, 0), r, writeStatusWord); }
std::int32_t L_rdasmecs(void* r) { return recordOp(call("rdasmecs", false, 0), r, writeCheckSum); }
std::int32_t L_rdmpe(void* r) { return recordOp(call("rdmpe", false, 0), r, writeLimit); }
std::int32_t L_rdigi(void* r) { return recordOp(call("rdigi", false, 0), r, nullptr); }
std::int32_t L_rddigib(std::int32_t a, std::int32_t n) { return digib(call("rddigib", false, 0), a, n); }
std::int32_t L_Option(void* d, std::int32_t* v) { return option(call("rdOptionInt", false, 0), d, v); }
std::int32_t L_Env(char* b) { return env(call("getEnvStr", false, 0), b); }
std::int32_t L_OsVersion(std::int32_t* v) { return osVersion(call("rdOsVersion", false, 0), v); }
std::int32_t L_Pld(std::int32_t* v) { return pld(call("rdPldVersion", false, 0), v); }
std::int32_t L_SampleTime(std::int32_t* v) { return sampleTime(call("rdSampleTime", false, 0), v); }
std::int32_t L_rdErrorReg(std::int32_t* v) { return readErrorReg(call("rdErrorReg", false, 0), v); }
std::int32_t L_wrErrorReg(std::int32_t* v) { return writeErrorReg(call("wrErrorReg", false, 0), v); }
std::int32_t L_DriverVersion() {
    log(call("rdDriverVersion", false, 0));
    return ctl().miniportWord;
}
std::int32_t L_OpCode(std::int32_t card, std::int32_t op) {
    Call c = call("tvMXI_OpCodeToLinkMTX", false, 0);
    c.args.push_back(card);
    return opcode(std::move(c), op);
}
std::int32_t L_rdcncts(std::int32_t t, void* r) { return taskState(call("rdcncts", false, 0), t, r); }
std::int32_t L_getcnctfh(std::int32_t t, void* r) { return taskFile(call("getcnctfh", false, 0), t, r); }

// ---- remote forms --------------------------------------------------------

std::int32_t R_Init(KvxHandle h, void* axes, void* info, const char* file, std::int32_t* board) {
    return init(call("InitKvxSystem", true, h), axes, info, file, board);
}
std::int32_t R_Boot(KvxHandle h, const char* file) {
    Call c = call("BootFile", true, h);
    c.text = file ? file : "";
    log(std::move(c));
    return ctl().bootResult;
}
std::int32_t R_Open(const char* url, std::int32_t reserved, const char* dev, std::int32_t five, KvxHandle* h) {
    Call c = call("KvxG3XOpen", false, 0);
    c.args = {reserved, five};
    c.text = std::string(url ? url : "") + "|" + (dev ? dev : "");
    log(std::move(c));
    if (ctl().openResult == 0) *h = ctl().openHandle;
    return ctl().openResult;
}
std::int32_t R_Close(KvxHandle h) {
    log(call("KvxG3Close", true, h));
    return 0;
}
std::int32_t R_SetErrorRoutine(KvxHandle h, KvxErrorRoutine routine) {
    log(call("KVXG3_SetDllErrorRoutine", true, h));
    ScriptedDriver::current().errorRoutine = routine;
    return 0;
}
std::int32_t R_Status(KvxHandle h, void* r, std::int32_t size) { return status(call("rdKvxStatus", true, h), r, size); }
std::int32_t R_rdaxst(KvxHandle h, void* r) { return recordOp(call("rdaxst", true, h), r, writeAxisState); }
std::int32_t R_rdifs(KvxHandle h, void* r) { return recordOp(call("rdifs", true, h), r, writeStatusWord); }
std::int32_t R_rdasms(KvxHandle h, void* r) { return recordOp(call("rdasms", true, h), r, writeStatusWord); }
std::int32_t R_rdasmecs(KvxHandle h, void* r) { return recordOp(call("rdasmecs", true, h), r, writeCheckSum); }
std::int32_t R_rdmpe(KvxHandle h, void* r) { return recordOp(call("rdmpe", true, h), r, writeLimit); }
std::int32_t R_rdigi(KvxHandle h, void* r) { return recordOp(call("rdigi", true, h), r, nullptr); }
std::int32_t R_rddigib(KvxHandle h, std::int32_t a, std::int32_t n) { return digib(call("rddigib", true, h), a, n); }
std::int32_t R_Option(KvxHandle h, void* d, std::int32_t* v) { return option(call("rdOptionInt", true, h), d, v); }
std::int32_t R_Env(KvxHandle h, char* b) { return env(call("getEnvStr", true, h), b); }
std::int32_t R_OsVersion(KvxHandle h, std::int32_t* v) { return osVersion(call("rdOsVersion", true, h), v); }
std::int32_t R_Pld(KvxHandle h, std::int32_t* v) { return pld(call("rdPldVersion", true, h), v); }
std::int32_t R_SampleTime(KvxHandle h, std::int32_t* v) { return sampleTime(call("rdSampleTime", true, h), v); }
std::int32_t R_rdErrorReg(KvxHandle h, std::int32_t* v) { return readErrorReg(call("rdErrorReg", true, h), v); }
std::int32_t R_wrErrorReg(KvxHandle h, std::int32_t* v) { return writeErrorReg(call("wrErrorReg", true, h), v); }
std::int32_t R_OpCode(KvxHandle h, std::int32_t op) { return opcode(call("tvMXI_OpCodeToLinkMTX", true, h), op); }
std::int32_t R_rdcncts(KvxHandle h, std::int32_t t, void* r) { return taskState(call("rdcncts", true, h), t, r); }
std::int32_t R_getcnctfh(KvxHandle h, std::int32_t t, void* r) { return taskFile(call("getcnctfh", true, h), t, r); }

template <typename F>
void* addr(F* f) {
    return reinterpret_cast<void*>(f);
}

}  // namespace

ControllerState::ControllerState() {
    maxPositionErrorLimit.fill(1.0);
    options[62] = {true, 5};
    options[63] = {true, 6};
    options[122] = {true, 0x12};
    options[123] = {true, 0x34};
    env["SerialNumber"] = "SN-1001";
    env["SerialNumberOXT"] = "OXT-2002";
    statusWord.fill(0x10);  // modules in order
    statusWord[0] = 3;      // interface status register in order
    setStatus(StatusRecord::kMinCycleTime, 1000);
    setStatus(StatusRecord::kMaxCycleTime, 1500);
    setStatus(StatusRecord::kRunCounter, 100);
}

ScriptedDriver::ScriptedDriver() {
    if (g_current) throw std::logic_error("one scripted driver at a time");
    g_current = this;
    fill();
}

ScriptedDriver::~ScriptedDriver() { g_current = nullptr; }

ScriptedDriver& ScriptedDriver::current() {
    if (!g_current) throw std::logic_error("no scripted driver");
    return *g_current;
}

std::int64_t ScriptedDriver::recordIndex(const void* record) const {
    const auto* p = static_cast<const std::uint8_t*>(record);
    if (!axisBase_ || p < axisBase_ || p >= axisBase_ + 18 * KVX_AXIS_RECORD_SIZE) return -1;
    const auto offset = p - axisBase_;
    return offset % KVX_AXIS_RECORD_SIZE == 0 ? offset / KVX_AXIS_RECORD_SIZE : -1;
}

void ScriptedDriver::remove(Op op) { table_[op] = Slot{}; }

void ScriptedDriver::stubWithEmptyRoutine(Op op) { table_[op] = Slot{emptyRoutineAddress(), emptyRoutineAddress()}; }

void ScriptedDriver::restoreAll() { fill(); }

void ScriptedDriver::fill() {
    table_.clear();
    auto set = [this](Op op, void* local, void* remote) { table_[op] = Slot{local, remote}; };
    set(Op::Init, addr(L_Init), addr(R_Init));
    set(Op::Close, addr(L_Close), addr(R_Close));
    set(Op::BootFile, addr(L_Boot), addr(R_Boot));
    set(Op::CardSelect, addr(L_CardSelect), emptyRoutineAddress());
    set(Op::KvxG3XOpen, emptyRoutineAddress(), addr(R_Open));
    set(Op::KVXG3_SetDllErrorRoutine, emptyRoutineAddress(), addr(R_SetErrorRoutine));
    set(Op::rdKvxStatus, addr(L_Status), addr(R_Status));
    set(Op::rdaxst, addr(L_rdaxst), addr(R_rdaxst));
    set(Op::rdifs, addr(L_rdifs), addr(R_rdifs));
    set(Op::rdasms, addr(L_rdasms), addr(R_rdasms));
    set(Op::rdasmecs, addr(L_rdasmecs), addr(R_rdasmecs));
    set(Op::rdmpe, addr(L_rdmpe), addr(R_rdmpe));
    set(Op::rdigi, addr(L_rdigi), addr(R_rdigi));
    set(Op::rddigib, addr(L_rddigib), addr(R_rddigib));
    set(Op::rdOptionInt, addr(L_Option), addr(R_Option));
    set(Op::getEnvStr, addr(L_Env), addr(R_Env));
    set(Op::rdOsVersion, addr(L_OsVersion), addr(R_OsVersion));
    set(Op::rdPldVersion, addr(L_Pld), addr(R_Pld));
    set(Op::rdSampleTime, addr(L_SampleTime), addr(R_SampleTime));
    set(Op::rdErrorReg, addr(L_rdErrorReg), addr(R_rdErrorReg));
    set(Op::wrErrorReg, addr(L_wrErrorReg), addr(R_wrErrorReg));
    set(Op::rdDriverVersion, addr(L_DriverVersion), nullptr);
    set(Op::tvMXI_OpCodeToLinkMTX, addr(L_OpCode), addr(R_OpCode));
    set(Op::rdcncts, addr(L_rdcncts), addr(R_rdcncts));
    set(Op::getcnctfh, addr(L_getcnctfh), addr(R_getcnctfh));
}

// ---- CallLog ---------------------------------------------------------------

std::vector<std::string> CallLog::names() const {
    std::vector<std::string> out;
    for (const auto& c : calls_) out.push_back(c.name);
    return out;
}

std::vector<std::string> CallLog::names(const std::vector<std::string>& filter) const {
    std::vector<std::string> out;
    for (const auto& c : calls_)
        for (const auto& f : filter)
            if (c.name == f) {
                out.push_back(c.name);
                break;
            }
    return out;
}

std::vector<Call> CallLog::to(std::string_view name) const {
    std::vector<Call> out;
    for (const auto& c : calls_)
        if (c.name == name) out.push_back(c);
    return out;
}

std::size_t CallLog::count(std::string_view name) const {
    std::size_t n = 0;
    for (const auto& c : calls_) n += c.name == name;
    return n;
}

}  // namespace kvx::test
