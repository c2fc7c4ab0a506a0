#include "driver/driver_journal.h"

namespace kvx {

std::string_view callName(CallId id) {
    if (id < kOpCount) return entryName(static_cast<Op>(id), false);
    switch (id) {
    case call::Provides: return "provides";
    case call::LoadLibrary: return "loadDriverLibrary";
    case call::LibraryBinds: return "libraryBinds";
    case call::FileVersion: return "readFileVersion";
    case call::UnloadLibrary: return "unloadDriverLibrary";
    case call::ErrorRoutine: return "errorRoutine";
    case call::ClockNow: return "clock";
    case call::Monotonic: return "monotonic";
    case call::OpenFile: return "openFile";
    default: return "";
    }
}

}  // namespace kvx
