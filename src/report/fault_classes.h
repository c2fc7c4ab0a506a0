// Fault classes: one bit per kind of fault in a tick's fault mask. A new bit
// compared with the previous tick is what makes a protocol block due.
#pragma once

#include <cstdint>

namespace kvx::fault {

constexpr std::uint32_t EncoderError = 0x00001;
constexpr std::uint32_t InterfaceStatus = 0x00002;
constexpr std::uint32_t AsmTimeout = 0x00004;
constexpr std::uint32_t AsmStatus = 0x00008;
constexpr std::uint32_t EmergencyOut = 0x00010;
constexpr std::uint32_t ConfigurationError = 0x00020;
constexpr std::uint32_t DataHandlingError = 0x00040;
constexpr std::uint32_t MaxPositionError = 0x00080;
constexpr std::uint32_t TaskRuntimeError0 = 0x00100;  // task t: 0x100 << t
constexpr std::uint32_t InternalDataHandling = 0x01000;
constexpr std::uint32_t Timing = 0x02000;
constexpr std::uint32_t Offline = 0x04000;
constexpr std::uint32_t FirstTick = 0x08000;
constexpr std::uint32_t ErrorRegister = 0x10000;

// Classes a double-click on the summary can reset; they bring the reset hint.
constexpr std::uint32_t Resettable = EncoderError | InternalDataHandling | Timing;

constexpr std::uint32_t taskRuntimeError(int task) { return TaskRuntimeError0 << task; }

}  // namespace kvx::fault
