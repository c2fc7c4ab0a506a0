// A scripted controller behind an entry-point table, without a library file.
//
// The test sets the controller's state (what the operations answer and what
// they write into the records) and reads back every call in order. The table
// holds the local and the remote form of every operation the monitor uses; a
// Driver facade on `table()` calls them like a loaded library. Individual
// operations can be taken out of the table (empty slot or the empty routine)
// to play an older or a partial library.
//
// Arguments recorded per call:
//   record operations (rdaxst, rdasms, rdasmecs, rdmpe, rdigi, rdifs): the
//     axis index of the record passed (position in the axis table that the
//     last initialisation received, or that attachAxisTable named); -1 when
//     the address lies outside it;
//   rddigib: axis, count;  rdOptionInt: option number, word 0 on entry;
//   tvMXI_OpCodeToLinkMTX: card (local) and op code;  rdcncts/getcnctfh: task;
//   rdKvxStatus: size;  wrErrorReg: the value;  getEnvStr: the variable name
//   in `text`;  initialisation: base address (local) and the system file in
//   `text`;  BootFile: base address (local), file in `text`.
// Remote forms have the handle as args[0].
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "driver/entry_points.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"
#include "support/call_log.h"

namespace kvx::test {

struct ScriptedTask {
    std::int32_t errorNumber = 0;
    std::int32_t errorLine = 0;
    std::uint32_t state = 0;  // bit 0 running, bit 1 stepping
    std::string fileName;     // written at byte 260; longer than 328 bytes: no terminator
};

struct ScriptedOption {
    bool readable = true;  // rdOptionInt answers 4 and writes the value; else answers 0
    std::int32_t value = 0;
};

// What the controller answers. Defaults: a healthy KVX-2000 with two axes,
// TAVOS 253.048, every version read working.
struct ControllerState {
    std::int32_t initResult = 0;
    std::int32_t boardType = 4;
    std::int32_t axisCount = 2;  // written into the system information
    std::string tavosName = "TAVOS";

    // Per axis record (index 0..17).
    std::array<std::uint32_t, 18> axisState{};    // rdaxst writes it at offset 200
    std::array<std::uint32_t, 18> statusWord{};   // rdifs (record 0) and rdasms write it at offset 220
    std::array<std::uint32_t, 18> checkSum{};     // rdasmecs writes it at offset 236
    std::array<double, 18> maxPositionErrorLimit; // rdmpe writes it at offset 172; default 1.0
    std::array<std::int32_t, 18> encoderError{};  // rddigib answers it

    std::map<std::int32_t, ScriptedOption> options;  // by option number; missing = not readable
    std::int32_t pldRevision = 7;
    std::int32_t osVersionResult = 0;  // rdOsVersion's answer; 0 writes osVersion
    std::int32_t osVersion = 253048;
    std::int32_t sampleTime = 1280;    // rdSampleTime writes it
    std::int32_t errorRegister = 0;    // rdErrorReg writes it; wrErrorReg stores what it gets
    std::int32_t miniportWord = 0x51234;
    std::map<std::string, std::string> env;  // present variables; value over 255 bytes: no terminator
    std::array<ScriptedTask, 4> tasks;
    std::array<std::uint32_t, 60> statusWords{};  // rdKvxStatus copies them, word i at offset 4 i

    // Card control.
    std::int32_t bootResult = 0;
    std::int32_t cardCount = 1;      // CardSelect answers the index below this, else -1
    std::int32_t openResult = 0;     // KvxG3XOpen
    KvxHandle openHandle = 77;       // handle KvxG3XOpen hands out

    ControllerState();
    void setStatus(std::size_t byteOffset, std::uint32_t value) { statusWords[byteOffset / 4] = value; }
};

class ScriptedDriver {
public:
    // One scripted controller at a time: the entry points find it through a
    // process-wide pointer, set here and cleared by the destructor.
    ScriptedDriver();
    ~ScriptedDriver();
    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    EntryPointTable& table() { return table_; }
    ControllerState controller;
    CallLog log;

    // Takes an operation out of both forms (empty slot).
    void remove(Op op);
    // Takes it out of one form only.
    void removeLocal(Op op) { table_[op].local = nullptr; }
    void removeRemote(Op op) { table_[op].remote = nullptr; }
    // Puts the empty routine in both slots, as the loader does for the
    // other mode's entry points.
    void stubWithEmptyRoutine(Op op);
    // Puts every operation back.
    void restoreAll();

    // The axis table whose records the record operations index.
    void attachAxisTable(const void* base) { axisBase_ = static_cast<const std::uint8_t*>(base); }
    std::int64_t recordIndex(const void* record) const;

    // The error routine the remote library was given, if any.
    KvxErrorRoutine errorRoutine = nullptr;

    static ScriptedDriver& current();

private:
    void fill();

    EntryPointTable table_;
    const std::uint8_t* axisBase_ = nullptr;
};

}  // namespace kvx::test
