// The entry-point table: one local-form and one remote-form slot per driver
// operation. Only DriverLibrary (the loader) fills it from dlsym results and
// only the Driver facade calls through it; tests may fill it with functions of
// their own to script a controller without a library file.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kvx {

enum class Op : std::size_t {
#define KVX_SHARED(name) name,
#define KVX_PAIR(op, localName, remoteName) op,
#define KVX_LOCAL(name) name,
#define KVX_REMOTE(name) name,
#define KVX_REMOTE_FILE(name) name,
#include "driver/entry_points.def"
    Count
};

constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::Count);

// Entry name of an operation in the given mode ("InitKvxSystem3" or
// "InitKvxSystem" for Op::Init; the shared name otherwise).
std::string_view entryName(Op op, bool remote);

// Which library offers an operation.
enum class OpGroup { Shared, Pair, LocalOnly, RemoteOnly, RemoteFile };
OpGroup opGroup(Op op);

struct Slot {
    void* local = nullptr;   // local form (no handle)
    void* remote = nullptr;  // remote form (remoteHandle first)
};

// Does nothing; stands in the slots of the other mode's entry points so that
// validation of a single-mode library passes.
extern "C" void kvxEmptyRoutine(void);
void* emptyRoutineAddress();

struct EntryPointTable {
    std::array<Slot, kOpCount> entries{};  // not "slots": that is a Qt keyword

    Slot& operator[](Op op) { return entries[static_cast<std::size_t>(op)]; }
    const Slot& operator[](Op op) const { return entries[static_cast<std::size_t>(op)]; }
    void clear() { entries.fill(Slot{}); }
};

}  // namespace kvx
