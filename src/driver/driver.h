// The driver facade: the only code that calls through the entry-point table.
//
// Every call picks the local or the remote form by the mode; the remote form
// gets the connection handle first. An operation whose slot for the current
// mode is empty is not called, in either mode: the method answers nullopt and,
// where the driver contract names a default for the record it would have
// filled, writes that default. Methods are named after the driver operations.
//
// A tap sees every answer (the flight recorder); with a replay set, the
// answers come from a recording and the library is never called
// (driver/driver_journal.h). Loading the library and reading file versions
// pass here too, so a replay needs no library at all. A call wait decides
// where the library's calls run while the caller waits (driver_call_wait.h);
// the tap and the error routine see them on the caller's thread all the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "driver/driver_call_wait.h"
#include "driver/driver_journal.h"
#include "driver/driver_library.h"
#include "driver/entry_points.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"

namespace kvx {

class Driver {
public:
    explicit Driver(EntryPointTable& table) : table_(table) {}
    // On a library's table; the library operations below act on it.
    explicit Driver(DriverLibrary& library) : table_(library.table()), library_(&library) {}
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    void setTap(DriverTap* tap);
    void setReplay(DriverReplay* replay) { replay_ = replay; }
    // Set before the error routine is registered; nullptr: calls block.
    void setCallWait(DriverCallWait* wait);

    // The library (DriverLibrary's operations of the same names); without
    // one, nothing loads and nothing is bound.
    int loadDriverLibrary(const std::string& baseName, bool remote, bool quickCheck);
    bool libraryBinds(Op op, bool remote) const;
    int unloadDriverLibrary();
    FileVersionInfo readFileVersion(const std::string& fileName) const;

    void setRemote(bool remote) { remote_ = remote; }
    bool remote() const { return remote_; }
    KvxHandle remoteHandle() const { return handle_; }
    void setRemoteHandle(KvxHandle h) { handle_ = h; }

    // The current mode's slot holds a real entry point (not empty, not emptyRoutine).
    bool provides(Op op) const;
    // Same question for a given mode, independent of the current one.
    bool provides(Op op, bool remote) const;

    // System initialisation: InitKvxSystem3 (local, with the base address) or
    // InitKvxSystem (remote). `systemFile` is the file of the current mode.
    DriverResult initSystem(AxisTable& axes, SystemInfo& info, std::int32_t baseAddress,
                            const std::string& systemFile, std::int32_t& boardType);
    // BootFile: local (file, base address), remote (handle, OS file).
    DriverResult BootFile(const std::string& file, std::int32_t baseAddress);
    // CardSelect (local only): returns the index when that card is selected.
    DriverResult CardSelect(std::int32_t index);
    // Closes the connection that is open in the current mode: KvxClose, or
    // KvxG3Close followed by clearing the handle.
    DriverResult closeConnection();
    // Closes with the remote form regardless of the current mode (used when
    // remote mode was given up while the connection stayed open).
    DriverResult closeRemote();
    // KvxG3XOpen(url, 0, devFile, 5, &handle); on 0 the handle is kept.
    DriverResult KvxG3XOpen(const std::string& url, const std::string& devFile);
    DriverResult KVXG3_SetDllErrorRoutine(KvxErrorRoutine routine);

    DriverResult rdKvxStatus(StatusRecord& status);  // missing: record keeps its contents
    DriverResult rdaxst(AxisRecord& axis);           // missing: axisStateWord := 0
    DriverResult rdifs(AxisTable& axes);             // missing: status_word of record 0 := 0
    DriverResult rdasms(AxisRecord& axis);           // missing: record unchanged
    DriverResult rdasmecs(AxisRecord& axis);         // missing: record unchanged
    DriverResult rdmpe(AxisRecord& axis);            // missing: record unchanged
    DriverResult rdigi(AxisRecord& axis);            // resets the axis's encoder error
    DriverResult rddigib(std::int32_t axis);         // nonzero: encoder error; called with 18
    DriverResult rdOptionInt(OptionDescriptor& descriptor, std::int32_t& value);  // 4: read
    DriverResult getEnvStr(EnvBuffer& buffer);       // > 0: buffer holds the value
    DriverResult rdOsVersion(std::int32_t& value);   // 0: read
    DriverResult rdPldVersion(std::int32_t& value);
    DriverResult rdSampleTime(std::int32_t& value);
    DriverResult rdErrorReg(std::int32_t& value);
    DriverResult wrErrorReg(std::int32_t& value);
    DriverResult rdDriverVersion();                  // local form only
    // Sends an op code; local form with the card index, remote with the handle.
    DriverResult tvMXI_OpCodeToLinkMTX(std::int32_t card, std::int32_t opcode);
    DriverResult rdcncts(std::int32_t task, TaskStateRecord& state);  // missing: zeros
    DriverResult getcnctfh(std::int32_t task, TaskFileRecord& file);  // missing: zeros

private:
    template <typename Fn>
    Fn slot(Op op) const;
    bool bound(Op op, bool remote) const;
    // The answer of the library (`live`), seen by the tap, or the recorded one.
    template <typename Live>
    DriverResult through(CallId id, std::int32_t key, Outputs outputs, Live&& live) const;
    static void routedErrorRoutine(std::int32_t code, const char* message);
    void routeErrorRoutine();

    EntryPointTable& table_;
    DriverLibrary* library_ = nullptr;
    DriverTap* tap_ = nullptr;
    DriverReplay* replay_ = nullptr;
    DriverCallWait* wait_ = nullptr;
    KvxErrorRoutine routine_ = nullptr;
    bool remote_ = false;
    KvxHandle handle_ = 0;
};

}  // namespace kvx
