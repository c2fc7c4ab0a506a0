// Values that the settings store reads at start and writes at close, and the
// process-wide switches and remote access data they carry.
#pragma once

#include <cstdint>
#include <string>

namespace kvx {

struct SettingsValues {
    // Main-window fields.
    std::string settingsFileName;
    std::string systemFileName;    // local controller system file
    std::string bootFileName;      // local TAVOS boot file
    std::string protocolFileName;
    std::int32_t settingsWritable = 0;
    std::int32_t tryToBoot = 0;
    std::int32_t selectedCard = 0;

    // Process-wide switches.
    std::int32_t baseAddress = 768;
    std::int32_t superUserMode = 0;
    std::int32_t useWebServices = 0;

    // Remote access data.
    std::string remoteUrl;
    std::string remoteDevFileName;
    std::string remoteSysFileName;  // system file handed to the remote initialisation
    std::string remoteOsFileName;   // TAVOS boot file handed to the remote boot
    std::string remoteCncPath;      // held, used by no operation
};

}  // namespace kvx
