// The control language of a running simulator: one command changes one card
// (inject or clear a fault, set a value, restart, go offline or online) or
// shows the state. The control command sends it; the timeline of a scenario
// runs it at scripted times.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/card.h"

namespace kvxsim {

// A command that cannot be understood. `word` counts from 1 and names the
// offending word; 0 when the command as a whole is wrong.
class CommandError : public std::runtime_error {
public:
    CommandError(int word, const std::string& message)
        : std::runtime_error(message), word_(word) {}
    int word() const { return word_; }

private:
    int word_;
};

struct ControlCommand {
    int card = 0;             // "card N" prefix; 0 when absent
    bool cardGiven = false;
    bool showState = false;   // "state": print instead of change
    // Applies the change; returns a one-line confirmation.
    std::function<std::string(CardState&, SteadyClock::time_point)> apply;
};

// Parses words such as {"inject", "emergency-out", "axis", "2"}. Throws
// CommandError. `cardCount` bounds the "card N" prefix.
ControlCommand parseControlCommand(const std::vector<std::string>& words, int cardCount);

// Splits a command line at blanks.
std::vector<std::string> splitWords(const std::string& line);

// Strict number reading: decimal or 0x-hexadecimal, optional minus sign, the
// whole text. Throws std::invalid_argument with a readable message.
long long parseInteger(const std::string& text, long long min, long long max);
double parseDecimal(const std::string& text);

// A readable listing of one card's state.
std::string describeCard(const CardState& card, int index, SteadyClock::time_point now);

// The list of commands, shown by the control command's help.
const char* controlCommandHelp();

}  // namespace kvxsim
