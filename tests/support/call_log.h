// The calls a test double has seen, in order: driver operations by their entry
// name, and the waits of the fixed clock as "sleep".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::test {

struct Call {
    std::string name;                // entry name ("InitKvxSystem3", "rdaxst", "sleep")
    bool remote = false;             // the remote form was called (handle is args[0])
    std::vector<std::int64_t> args;  // integer arguments; records appear by index (see ScriptedDriver)
    std::string text;                // a text argument: file name, variable name, URL

    bool operator==(const Call&) const = default;
};

class CallLog {
public:
    void add(Call call) { calls_.push_back(std::move(call)); }
    void clear() { calls_.clear(); }

    const std::vector<Call>& all() const { return calls_; }
    // Entry names in call order.
    std::vector<std::string> names() const;
    // Entry names in call order, only those in `filter`.
    std::vector<std::string> names(const std::vector<std::string>& filter) const;
    // Every call of one entry, in order.
    std::vector<Call> to(std::string_view name) const;
    std::size_t count(std::string_view name) const;
    bool called(std::string_view name) const { return count(name) != 0; }

private:
    std::vector<Call> calls_;
};

}  // namespace kvx::test
