// Reading the fields of a simulator answer. An answer comes from another
// process over a socket or HTTP and may hold anything: every value is checked
// for its type and range before it is used. A value no controller can send
// (a text where a number belongs, 1e30 for a 32-bit word, an axis that is not
// an object) makes the whole answer malformed: the reader throws
// MalformedAnswer, and the call answers KVX_E_PROTOCOL.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kvxsim::answer {

struct MalformedAnswer : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An answer text as JSON: it must be an object nested at most `maxDepth`
// deep, else it is malformed.
nlohmann::json parse(std::string_view text, int maxDepth);

// The member `name` of `object`; null when absent. Throws when `object` is
// not an object.
const nlohmann::json* member(const nlohmann::json& object, const char* name);

// A whole number in [lo, hi]; "3.0" style forms of whole numbers count.
std::int64_t whole(const nlohmann::json& value, std::int64_t lo, std::int64_t hi, const char* name);

std::uint32_t asUint32(const nlohmann::json& value, const char* name);
// A register word: either a signed or an unsigned 32-bit number, kept as its bits.
std::uint32_t asWord(const nlohmann::json& value, const char* name);

// Members: required ones throw when absent, the others answer `fallback`.
std::int32_t int32(const nlohmann::json& object, const char* name);
std::int32_t int32(const nlohmann::json& object, const char* name, std::int32_t fallback);
std::uint32_t uint32(const nlohmann::json& object, const char* name, std::uint32_t fallback);
std::uint32_t word(const nlohmann::json& object, const char* name);
std::uint32_t word(const nlohmann::json& object, const char* name, std::uint32_t fallback);
// A finite number.
double real(const nlohmann::json& object, const char* name, double fallback);
std::string text(const nlohmann::json& object, const char* name);
std::string text(const nlohmann::json& object, const char* name, const std::string& fallback);

}  // namespace kvxsim::answer
