// A poll cycle on the in-process scripted controller: no library file, no
// window, a protocol file in a temporary folder of its own. The controller is
// healthy, so a steady tick walks every check and writes no protocol block.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "history/run_history.h"
#include "support/scripted_engine.h"

namespace kvx::bench {

class EngineRig : public test::ScriptedEngine {
public:
    // `boardType` 4 (KVX-2000), 8 (KVX-4000), 16 or 32; `axes` 0 to 18. A
    // non-empty `protocolFile` is used as it stands (for a file that already
    // holds data); otherwise a fresh one in a temporary folder.
    EngineRig(std::int32_t boardType, int axes, const std::string& protocolFile = "") : ScriptedEngine("KvxDiagnostics") {
        test::ControllerState& c = scripted.controller;
        c.boardType = boardType;
        c.axisCount = axes;
        c.options[62] = {true, 0x05};
        c.options[63] = {true, -1};
        c.options[122] = {true, 0x12};
        c.options[123] = {true, 0x34};
        c.env["SerialNumber"] = "20001234";
        c.env["SerialNumberOXT"] = "30004567";
        for (int a = 0; a < 18; ++a) {
            c.maxPositionErrorLimit[static_cast<std::size_t>(a)] = 10.0;
            c.statusWord[static_cast<std::size_t>(a)] = a == 0 && boardType != 8 ? 3u : 0x10u;  // record 0: interface status
        }
        c.tasks[0] = {0, 0, 1, "MAIN.QSL"};
        c.tasks[1] = {0, 0, 1, "HOMING.QSL"};
        c.setStatus(StatusRecord::kMinCycleTime, 1000);
        c.setStatus(StatusRecord::kMaxCycleTime, 1500);
        c.setStatus(StatusRecord::kRunCounter, 1);

        settings.systemFileName = "SYSTEM.DAT";

        if (protocolFile.empty()) {
            folder_ = std::filesystem::temp_directory_path() /
                      ("kvx-bench-" + std::to_string(::getpid()) + "-" + std::to_string(serial_++));
            std::filesystem::create_directories(folder_);
            protocol.open((folder_ / "DiagProtocol.txt").string());
        } else {
            protocol.open(protocolFile);
        }
    }
    ~EngineRig() {
        protocol.close();
        if (!folder_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(folder_, ec);
        }
    }
    EngineRig(const EngineRig&) = delete;
    EngineRig& operator=(const EngineRig&) = delete;

    // One tick; the run counter moves on as a running controller's does.
    void tick() {
        runCounter_ += 1000;
        scripted.controller.setStatus(StatusRecord::kRunCounter, runCounter_);
        cycle.tick();
    }
    // The scripted controller keeps a log of every call; empty it so that a
    // long run does not measure the log's growth.
    std::size_t takeCallCount() {
        std::size_t n = scripted.log.all().size();
        scripted.log.clear();
        return n;
    }

    RunHistory history{clock, [this] { return monotonicMs_ += 1000; }};

private:
    std::filesystem::path folder_;
    std::uint32_t runCounter_ = 1;
    std::int64_t monotonicMs_ = 0;
    static inline int serial_ = 0;
};

}  // namespace kvx::bench
