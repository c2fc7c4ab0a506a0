// A recording served as a simulated controller: every recorded tick sets the
// card's state to what the driver answered then, at the recorded pace, so any
// monitor (local or remote) sees the recorded controller again. A recording
// thus becomes a training scenario.
#pragma once

#include <cstdint>
#include <string>

#include "model/card.h"
#include "recording/recording_reader.h"

namespace kvxsim {

class RecordingFeed {
public:
    bool open(const std::string& file, std::string& error);
    // The next segment with driver answers: milliseconds after the first one
    // and the change it makes to the card. False at the recording's end.
    bool next(std::int64_t& atMs);
    void apply(CardState& card, SteadyClock::time_point now) const;
    // Why the recording ended early, or "".
    const std::string& problem() const { return reader_.problem(); }

private:
    kvx::recording::RecordingReader reader_;
    kvx::recording::Segment segment_;
    std::int64_t firstEpochMs_ = -1;
};

}  // namespace kvxsim
