// The driver library: choosing its file, loading it, binding every entry
// point into the entry-point table, deciding whether it is usable, unloading
// it, and reading the file versions shown beside it.
//
// Only this class turns dlsym results into slots; the Driver facade
// (driver/driver.h) is the only code that calls through them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "driver/entry_points.h"
#include "platform/dynamic_library.h"

namespace kvx {

// Looks up an environment variable; nullopt when it does not exist.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
std::optional<std::string> processEnvironment(const std::string& name);

class DriverLibrary {
public:
    explicit DriverLibrary(EnvironmentLookup environment = processEnvironment);
    // Releases a library still loaded, without calling it.
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // The file to load for `baseName`: KVXDLLNAME unchanged when it exists;
    // otherwise the base name, in remote mode cut before its first '.' that
    // follows a character other than '.', with "X.DLL" appended
    // ("kvxg3.dll" gives "kvxg3X.DLL").
    static std::string driverFileName(const std::string& baseName, bool remote,
                                      const EnvironmentLookup& environment);

    // Loads and binds the library; returns 1 when it is usable, else 0. With
    // `quickCheck` only the initialisation entry point is required and the
    // remembered file name is left alone. Loading the name that is already
    // loaded and usable returns 1 at once; any other load first closes the
    // card (KvxClose, when bound) and unloads the current library.
    int loadDriverLibrary(const std::string& baseName, bool remote, bool quickCheck);
    // Frees the module and forgets its name; returns 1. Every slot that held
    // an address of the module is cleared, since that address dies with it;
    // `driverLoaded` stays as it was.
    int unloadDriverLibrary();

    LibraryHandle driverModule() const { return driverModule_; }
    int driverLoaded() const { return driverLoaded_; }
    const std::string& loadedDriverFileName() const { return loadedDriverFileName_; }

    EntryPointTable& table() { return table_; }
    const EntryPointTable& table() const { return table_; }
    // The slot of the given form holds an entry point of the library (neither
    // null nor the empty routine).
    bool bound(Op op, bool remote) const;

private:
    void bind(bool remote);
    bool validate(bool remote) const;

    EnvironmentLookup environment_;
    LibraryHandle driverModule_ = nullptr;
    int driverLoaded_ = 0;
    std::string loadedDriverFileName_;
    EntryPointTable table_;
};

// The four numbers of a file version; `valid` when all four were read.
struct FileVersionInfo {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t release = 0;
    std::uint32_t build = 0;
    bool valid = false;
};

// Reads the file version of a program or library file. A name without '/' is
// found by the same search as loading (never the working folder). A file that
// is missing, has no version record, or whose record lacks "InternalName",
// "OriginalFileName" or "FileVersion" gives zeros, not valid.
FileVersionInfo readFileVersion(const std::string& fileName);
// The numbers of a FileVersion text: split at '.' when it holds one, else at
// ','; blanks around a part are ignored ("2, 5, 3, 15" gives 2, 5, 3, 15).
FileVersionInfo parseFileVersion(const std::string& text);

// "2.5.3.15"
std::string fileVersionText(const FileVersionInfo& info);
// "kvxg3.dll: 2.5.3.15"
std::string driverVersionText(const std::string& name, const FileVersionInfo& info);
// major * 100 + minor * 10 + release + build * 0.001 (2.5.3.15 gives 253.015).
double driverVersionNumber(const FileVersionInfo& info);

}  // namespace kvx
