#include "driver/entry_points.h"

namespace kvx {

namespace {

struct OpInfo {
    std::string_view localName;
    std::string_view remoteName;
    OpGroup group;
};

constexpr OpInfo kOpInfo[] = {
#define KVX_SHARED(name) {#name, #name, OpGroup::Shared},
#define KVX_PAIR(op, localName, remoteName) {#localName, #remoteName, OpGroup::Pair},
#define KVX_LOCAL(name) {#name, #name, OpGroup::LocalOnly},
#define KVX_REMOTE(name) {#name, #name, OpGroup::RemoteOnly},
#define KVX_REMOTE_FILE(name) {#name, #name, OpGroup::RemoteFile},
#include "driver/entry_points.def"
};
static_assert(sizeof(kOpInfo) / sizeof(kOpInfo[0]) == kOpCount);

}  // namespace

std::string_view entryName(Op op, bool remote) {
    const OpInfo& info = kOpInfo[static_cast<std::size_t>(op)];
    return remote ? info.remoteName : info.localName;
}

OpGroup opGroup(Op op) { return kOpInfo[static_cast<std::size_t>(op)].group; }

extern "C" void kvxEmptyRoutine(void) {}

void* emptyRoutineAddress() { return reinterpret_cast<void*>(&kvxEmptyRoutine); }

}  // namespace kvx
