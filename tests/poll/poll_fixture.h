// A poll cycle wired to a scripted controller, a fixed clock and a display
// model, with a protocol file in a folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "report/fault_classes.h"
#include "support/scripted_engine.h"

namespace kvx::test {

using Lines = std::vector<std::string>;

class PollTest : public ::testing::Test, protected ScriptedEngine {
protected:
    static constexpr const char* kProgram = "kvxdiagnostics";
    static constexpr KvxHandle kHandle = 77;

    PollTest() : ScriptedEngine(kProgram) {
        clock.attach(&scripted.log);
        settings.selectedCard = 2;
        settings.systemFileName = "C:\\KVX\\SYSTEM.DAT";
        settings.remoteSysFileName = "remote.dat";
        settings.baseAddress = 768;
    }

    ~PollTest() override {
        protocol.close();
        if (!folder_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(folder_, ec);
        }
    }

    void useRemote() {
        settings.useWebServices = 1;
        driver.setRemote(true);
        driver.setRemoteHandle(kHandle);
    }

    void tick(int n = 1) {
        for (int i = 0; i < n; ++i) cycle.tick();
    }
    void doubleClick() { cycle.meErrorSummaryDblClick(); }

    const std::string& text(std::string_view name) const { return model[name].text; }
    ColourRole role(std::string_view name) const { return model[name].role; }
    bool checked(std::string_view name) const { return model[name].checked; }
    const Lines& lines() const { return model.summary; }
    std::uint32_t mask() const { return summary.faultMask(); }

    // A folder of this test's own; the protocol file lives there.
    std::filesystem::path folder() {
        if (folder_.empty()) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            folder_ = std::filesystem::temp_directory_path() /
                      ("kvx_poll_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                       std::to_string(::getpid()));
            std::filesystem::remove_all(folder_);
            std::filesystem::create_directories(folder_);
        }
        return folder_;
    }
    std::string protocolPath() { return (folder() / "DiagProtocol.txt").string(); }
    bool openProtocol() { return protocol.open(protocolPath()); }
    // The file's lines as written so far (without the line end of the last).
    Lines protocolLines() {
        std::ifstream in(protocolPath(), std::ios::binary);
        Lines out;
        std::string line;
        while (std::getline(in, line)) out.push_back(line);
        return out;
    }
    std::string protocolText() {
        std::ifstream in(protocolPath(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    ControllerState& ctl = scripted.controller;
    CallLog& log = scripted.log;

private:
    std::filesystem::path folder_;
};

}  // namespace kvx::test
