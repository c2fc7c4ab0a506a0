// The command-line choices of the flight recorder and of a replay.
#pragma once

#include <optional>
#include <string>

namespace kvx {

struct RecordOptions {
    std::string file;      // --record FILE
    int maxMegabytes = 0;  // --record-max-mb N: a new file after N MB; 0: never
    int keepFiles = 10;    // --record-files N: files kept, the current one included
};

struct ReplayOptions {
    std::string file;                         // --replay FILE
    std::optional<std::string> protocolFile;  // --protocol FILE: the protocol the run wrote, with its times
    int speed = 0;                            // --speed N: 1..60 times the recorded pace; 0: as fast as it goes
};

}  // namespace kvx
