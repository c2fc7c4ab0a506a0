#include "driver/driver_library.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "driver/kvxg3_api.h"
#include "platform/version_record.h"

namespace kvx {

namespace {

constexpr char kDriverNameVariable[] = "KVXDLLNAME";

// Validation lists (besides the shared names that every mode requires).
// One slot of each pair has to be filled; the empty routine in the other
// mode's slots lets a single-mode library pass.
constexpr Op kPairs[] = {
    Op::Close,
    Op::KvxG3XOpen,
    Op::ReadLinkStatus,
    Op::CardSelect,
    Op::Txbf,
    Op::rdAsmSecureParams,
    Op::KVXG3_SetDllErrorRoutine,
    Op::KVXG3_ResetDllErrorRoutine,
    Op::KvxG3CheckOSRunning,
    Op::KvxG3CpuSoftReset,
    Op::KvxG3StopOS,
};
// Required of the local library only.
constexpr Op kLocalRequired[] = {
    Op::tvMXI_GetpCI, Op::rdMCiS,  Op::wrJerk,  Op::rdJerk,
    Op::wrtrjerk,     Op::rdptp,   Op::rdpir,   Op::rddtv,
    Op::tvMXI_GetpOSTRACE, Op::rdOsTraceBuffer, Op::wrtrovrst, Op::rdtrovrst,
    Op::rdcbcnct,
};
// Bound when present, never required.
constexpr Op kOptional[] = {Op::rdtrjerk};

template <std::size_t N>
bool listed(const Op (&list)[N], Op op) {
    for (Op o : list)
        if (o == op) return true;
    return false;
}

constexpr Op opAt(std::size_t i) { return static_cast<Op>(i); }

}  // namespace

std::optional<std::string> processEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

DriverLibrary::DriverLibrary(EnvironmentLookup environment)
    : environment_(environment ? std::move(environment) : EnvironmentLookup(processEnvironment)) {}

DriverLibrary::~DriverLibrary() { freeLibrary(driverModule_); }

std::string DriverLibrary::driverFileName(const std::string& baseName, bool remote,
                                          const EnvironmentLookup& environment) {
    if (environment) {
        if (auto fromEnvironment = environment(kDriverNameVariable)) return *fromEnvironment;
    }
    if (!remote) return baseName;
    std::string stem = baseName;
    for (std::size_t i = 1; i < stem.size(); ++i) {
        if (stem[i] == '.' && stem[i - 1] != '.') {
            stem.resize(i);
            break;
        }
    }
    return stem + "X.DLL";
}

int DriverLibrary::loadDriverLibrary(const std::string& baseName, bool remote, bool quickCheck) {
    const std::string fileName = driverFileName(baseName, remote, environment_);

    // A library that is loaded stays when it is asked for again under the same
    // name and was usable; otherwise the card is closed and the module freed
    // before anything else is loaded, so no module is ever leaked.
    if (driverModule_ != nullptr) {
        // A quick check leaves no name behind, so an empty name never matches.
        if (driverLoaded_ == 1 && !loadedDriverFileName_.empty() && fileName == loadedDriverFileName_)
            return driverLoaded_;
        if (bound(Op::Close, false)) reinterpret_cast<KvxCloseLocalFn>(table_[Op::Close].local)();
        unloadDriverLibrary();
    }

    driverModule_ = loadLibrary(fileName);
    driverLoaded_ = driverModule_ != nullptr ? 1 : 0;

    bind(remote);

    if (driverLoaded_ == 1 && table_[Op::Init].local == nullptr && table_[Op::Init].remote == nullptr)
        driverLoaded_ = 0;

    if (quickCheck) return driverLoaded_;

    if (driverLoaded_ == 1 && !validate(remote)) driverLoaded_ = 0;

    loadedDriverFileName_ = driverLoaded_ == 1 ? fileName : std::string();
    return driverLoaded_;
}

int DriverLibrary::unloadDriverLibrary() {
    if (driverModule_ != nullptr) {
        freeLibrary(driverModule_);
        // The addresses the module gave are gone with it; a later call through
        // them would jump into unmapped code.
        void* empty = emptyRoutineAddress();
        for (Slot& s : table_.entries) {
            if (s.local != empty) s.local = nullptr;
            if (s.remote != empty) s.remote = nullptr;
        }
    }
    driverModule_ = nullptr;
    loadedDriverFileName_.clear();
    return 1;
}

bool DriverLibrary::bound(Op op, bool remote) const {
    void* p = remote ? table_[op].remote : table_[op].local;
    return p != nullptr && p != emptyRoutineAddress();
}

void DriverLibrary::bind(bool remote) {
    void* empty = emptyRoutineAddress();
    // With no module every look-up finds nothing, so each slot named here
    // becomes null (the empty-routine slots are still set).
    auto lookUp = [this](Op op, bool remoteName) {
        return librarySymbol(driverModule_, std::string(entryName(op, remoteName)).c_str());
    };

    // The mode's own group first, then the shared names in binding order.
    for (std::size_t i = 0; i < kOpCount; ++i) {
        Op op = opAt(i);
        Slot& slot = table_[op];
        switch (opGroup(op)) {
        case OpGroup::Pair:
            if (remote) slot.remote = lookUp(op, true);
            else slot.local = lookUp(op, false);
            break;
        case OpGroup::LocalOnly:
            if (!remote) slot.local = lookUp(op, false);
            else if (op == Op::ReadLinkStatus || op == Op::CardSelect) slot.remote = empty;
            break;
        case OpGroup::RemoteOnly:
            if (remote) slot.remote = lookUp(op, true);
            else slot.local = empty;
            break;
        case OpGroup::RemoteFile:
            if (remote) slot.remote = lookUp(op, true);
            break;
        case OpGroup::Shared:
            break;
        }
    }
    for (std::size_t i = 0; i < kOpCount; ++i) {
        Op op = opAt(i);
        if (opGroup(op) != OpGroup::Shared) continue;
        void* p = lookUp(op, remote);
        table_[op].local = p;
        table_[op].remote = p;
    }
}

bool DriverLibrary::validate(bool remote) const {
    auto filled = [this](Op op, bool remoteForm) {
        return (remoteForm ? table_[op].remote : table_[op].local) != nullptr;
    };
    for (Op op : kPairs)
        if (!filled(op, false) && !filled(op, true)) return false;
    for (std::size_t i = 0; i < kOpCount; ++i) {
        Op op = opAt(i);
        if (remote && opGroup(op) == OpGroup::RemoteFile && !filled(op, true)) return false;
    }
    if (!remote) {
        for (Op op : kLocalRequired)
            if (!filled(op, false)) return false;
    }
    for (std::size_t i = 0; i < kOpCount; ++i) {
        Op op = opAt(i);
        if (opGroup(op) != OpGroup::Shared) continue;
        if (listed(kPairs, op) || listed(kLocalRequired, op) || listed(kOptional, op)) continue;
        if (!filled(op, remote)) return false;
    }
    return true;
}

FileVersionInfo parseFileVersion(const std::string& text) {
    FileVersionInfo info;
    const char separator = text.find('.') != std::string::npos ? '.' : ',';
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }

    std::uint32_t* fields[] = {&info.major, &info.minor, &info.release, &info.build};
    bool allRead = true;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i >= parts.size()) {
            allRead = false;
            continue;
        }
        // Blanks around the number are ignored; the number is the run of
        // decimal digits that follows them.
        const std::string& part = parts[i];
        std::size_t p = part.find_first_not_of(" \t");
        std::uint64_t value = 0;
        std::size_t digits = 0;
        while (p != std::string::npos && p < part.size() && part[p] >= '0' && part[p] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(part[p] - '0');
            ++digits;
            ++p;
            if (value > 0xFFFFFFFFull) break;
        }
        if (digits == 0 || value > 0xFFFFFFFFull) {
            allRead = false;
            continue;
        }
        *fields[i] = static_cast<std::uint32_t>(value);
    }
    info.valid = allRead;
    return info;
}

FileVersionInfo readFileVersion(const std::string& fileName) {
    std::string path = findLibraryFile(fileName);
    if (path.empty()) return {};
    auto record = readVersionRecord(path);
    if (!record) return {};
    auto internalName = record->value("InternalName");
    auto originalFileName = record->value("OriginalFileName");
    auto fileVersion = record->value("FileVersion");
    if (!internalName || !originalFileName || !fileVersion) return {};
    return parseFileVersion(*fileVersion);
}

std::string fileVersionText(const FileVersionInfo& info) {
    return std::to_string(info.major) + "." + std::to_string(info.minor) + "." + std::to_string(info.release) +
           "." + std::to_string(info.build);
}

std::string driverVersionText(const std::string& name, const FileVersionInfo& info) {
    return name + ": " + fileVersionText(info);
}

double driverVersionNumber(const FileVersionInfo& info) {
    return info.major * 100.0 + info.minor * 10.0 + info.release + info.build * 0.001;
}

}  // namespace kvx
