#include "lib/answer_fields.h"

#include <cmath>
#include <limits>

namespace kvxsim::answer {

using nlohmann::json;

namespace {

[[noreturn]] void malformed(const char* name) { throw MalformedAnswer(std::string("malformed field \"") + name + "\""); }

const json& required(const json& object, const char* name) {
    const json* value = member(object, name);
    if (!value) throw MalformedAnswer(std::string("missing field \"") + name + "\"");
    return *value;
}

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kUint32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

json parse(std::string_view text, int maxDepth) {
    // Counted before parsing: a parse of megabytes of brackets takes hundreds
    // of megabytes before it could be refused.
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) throw MalformedAnswer("answer nested too deep");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    json answer = json::parse(text, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) throw MalformedAnswer("answer is no JSON object");
    return answer;
}

const json* member(const json& object, const char* name) {
    if (!object.is_object()) malformed(name);
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::int64_t whole(const json& value, std::int64_t lo, std::int64_t hi, const char* name) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (hi < 0 || u > static_cast<std::uint64_t>(hi)) malformed(name);
        const auto v = static_cast<std::int64_t>(u);
        if (v < lo) malformed(name);
        return v;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < lo || v > hi) malformed(name);
        return v;
    }
    if (value.is_number_float()) {
        // Compared as doubles first: casting a value out of range is undefined.
        const double d = value.get<double>();
        if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi)) || d != std::trunc(d)) malformed(name);
        return static_cast<std::int64_t>(d);
    }
    malformed(name);
}

std::uint32_t asUint32(const json& value, const char* name) {
    return static_cast<std::uint32_t>(whole(value, 0, kUint32Max, name));
}

std::uint32_t asWord(const json& value, const char* name) {
    return static_cast<std::uint32_t>(whole(value, kInt32Min, kUint32Max, name));
}

std::int32_t int32(const json& object, const char* name) {
    return static_cast<std::int32_t>(whole(required(object, name), kInt32Min, kInt32Max, name));
}

std::int32_t int32(const json& object, const char* name, std::int32_t fallback) {
    const json* value = member(object, name);
    return value ? static_cast<std::int32_t>(whole(*value, kInt32Min, kInt32Max, name)) : fallback;
}

std::uint32_t uint32(const json& object, const char* name, std::uint32_t fallback) {
    const json* value = member(object, name);
    return value ? asUint32(*value, name) : fallback;
}

std::uint32_t word(const json& object, const char* name) { return asWord(required(object, name), name); }

std::uint32_t word(const json& object, const char* name, std::uint32_t fallback) {
    const json* value = member(object, name);
    return value ? asWord(*value, name) : fallback;
}

double real(const json& object, const char* name, double fallback) {
    const json* value = member(object, name);
    if (!value) return fallback;
    if (!value->is_number()) malformed(name);
    const double d = value->get<double>();
    if (!std::isfinite(d)) malformed(name);
    return d;
}

std::string text(const json& object, const char* name) {
    const json& value = required(object, name);
    if (!value.is_string()) malformed(name);
    return value.get<std::string>();
}

std::string text(const json& object, const char* name, const std::string& fallback) {
    return member(object, name) ? text(object, name) : fallback;
}

}  // namespace kvxsim::answer
