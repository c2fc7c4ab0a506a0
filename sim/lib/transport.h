// How a driver library reaches the simulator: one request, one answer. The
// local library talks to the daemon's unix socket, the remote one to its
// web services; everything else is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kvxsim {

// Every request, its connection included, ends within its transport's
// deadline: a simulator that is dead, silent or trickles its answer fails the
// call after it. Over the unix socket the daemon answers in microseconds, so
// a tick that meets a dead daemon ends within a second.
inline constexpr std::chrono::milliseconds kRequestDeadline{800};
// Web services may lie behind a slow link: a new connection costs two round
// trips before the answer's first byte, so the default holds over a round
// trip of 2 s. KVXG3X_DEADLINE_MS sets another, within the bounds below.
inline constexpr std::chrono::milliseconds kWebRequestDeadline{5000};
inline constexpr std::chrono::milliseconds kWebRequestDeadlineMin{100};
inline constexpr std::chrono::milliseconds kWebRequestDeadlineMax{60000};
// The deadline the web services' transport uses: KVXG3X_DEADLINE_MS when it
// is a whole number of ms within the bounds, else the default.
std::chrono::milliseconds webRequestDeadline(const char* setting);
// The largest answer a controller sends (a card's snapshot is some 10 kB)
// and its deepest nesting; anything beyond is malformed.
inline constexpr std::size_t kAnswerMaxBytes = 1 << 20;
inline constexpr int kAnswerMaxDepth = 32;

class Transport {
public:
    virtual ~Transport() = default;
    // The answer, or nothing when the simulator cannot be reached; `error`
    // then says why, in words for the user. An answer that is no JSON object
    // throws answer::MalformedAnswer.
    virtual std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) = 0;
    // Drops the connection; the next call connects again.
    virtual void disconnect() = 0;
    // How long one request may take, its connection included.
    virtual std::chrono::milliseconds deadline() const { return kRequestDeadline; }

    // The snapshot in its compact form that the last answer carried behind
    // its JSON object (common/flat_snapshot.h); empty when it carried none.
    std::string takeCompactSnapshot() { return std::move(compact_); }

protected:
    // An answer as it came: a JSON object, and behind a tab possibly the
    // compact snapshot, which is kept apart for takeCompactSnapshot().
    nlohmann::json parseAnswer(std::string_view text);

private:
    std::string compact_;
};

// Connects on first use and again after any failure, so a daemon that comes
// back is found without the caller doing anything. The socket path follows
// the daemon's rule and is resolved at each connection.
std::unique_ptr<Transport> makeUnixSocketTransport();

// Parses "http://host[:port][/prefix]"; nullptr when the URL is malformed.
std::unique_ptr<Transport> makeHttpTransport(const std::string& url);

}  // namespace kvxsim
