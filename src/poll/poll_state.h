// What the poll cycle keeps from one tick to the next, and the records it
// shares with the driver library.
#pragma once

#include <cstdint>
#include <string>

#include "driver/records.h"

namespace kvx {

struct PollState {
    std::int32_t online = 0;      // this tick's initialisation succeeded
    std::int32_t wasOnline = 0;   // 0 makes the next online tick run the went-online steps
    double driverVersion = 0;     // driver library file version as one number (253.015)
    double tavosVersion = 0.001;  // 0.001: read at the next online tick; 0: not available
    std::int32_t axisCount = 0;
    std::int32_t sampleTimeUs = 0;  // 0: not read yet
    std::int32_t pldRevision = 0;   // -1: driver too old
    std::int32_t epmBaseRevision = 0;
    std::int32_t epmOptionRevision = 0;  // -1: not fitted
    std::int32_t bdverRenum = 0;
    std::int32_t fpverFfunc = 0;
    std::uint32_t prevRunCounter = 0;  // run counter of the previous online tick
    std::uint32_t restartCount = 0;    // controller restarts detected in this run
    std::int32_t initResult = 0;       // this tick's system initialisation result
    std::int32_t miniportVersion = 0;
    std::string serialBaseText;
    std::string serialOptionText;

    // Start values set when the window is created.
    void resetForStart() {
        wasOnline = 0;
        tavosVersion = 0.001;
    }
};

// Records owned by the program and filled by the driver through their addresses.
struct DriverRecords {
    AxisTable axisTable;
    SystemInfo systemInfo;
    StatusRecord statusRecord;
    OptionDescriptors optionDescriptors;
};

}  // namespace kvx
