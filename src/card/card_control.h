// Card control: bringing a controller into the initialised state at start,
// switching cards, and the user's reboot with chosen boot and system files.
// Results go to the window caption; "System.dat not loaded up to now!" goes to
// the summary, which the next tick rebuilds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "display/dialogs.h"
#include "display/display_model.h"
#include "driver/driver.h"
#include "platform/clock.h"
#include "poll/poll_state.h"
#include "report/error_summary.h"
#include "settings/settings_values.h"

namespace kvx {

struct CardContext {
    Driver& driver;
    DriverRecords& records;
    SettingsValues& settings;
    PollState& state;
    DisplayModel& model;
    ErrorSummary& summary;
    Clock& clock;
    Dialogs& dialogs;
    std::string programFileName;
    // Reloads the remote access data from the project file (forced).
    std::function<void()> reloadAccessData;
};

class CardControl {
public:
    explicit CardControl(CardContext context) : ctx_(std::move(context)) {}

    static constexpr int kMaxCards = 20;

    // Fills the card list, initialises the selected card, boots it when that
    // fails and the settings ask for it. Returns 1 when the card ended
    // initialised, else 0.
    int initialiseCard();
    // The user picked another card.
    void cbCardNrChange(int index);
    // "Boot System" (super-user mode).
    void buRebootClick();

private:
    std::int32_t initialise();             // the initialisation call of the current mode
    std::int32_t initialiseWithSummary();  // local 20: summary line, counts as 0
    std::int32_t boot();                   // the boot call, then the option descriptors reset
    void selectCardIndex(int index);

    CardContext ctx_;
};

}  // namespace kvx
