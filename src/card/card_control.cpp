#include "card/card_control.h"

namespace kvx {

namespace {

constexpr const char* kSystemFileMissing = "System.dat not loaded up to now!";

std::string withCode(const char* before, std::int32_t code, const char* after) {
    return before + std::to_string(code) + after;
}

}  // namespace

std::int32_t CardControl::initialise() {
    Driver& drv = ctx_.driver;
    std::int32_t boardType = 0;
    const std::string& file = drv.remote() ? ctx_.settings.remoteSysFileName : ctx_.settings.systemFileName;
    return drv.initSystem(ctx_.records.axisTable, ctx_.records.systemInfo, ctx_.settings.baseAddress, file, boardType)
        .value_or(KVX_E_NOT_SUPPORTED);
}

std::int32_t CardControl::initialiseWithSummary() {
    std::int32_t r = initialise();
    if (!ctx_.driver.remote() && r == KVX_INIT_NO_SYSTEM_FILE) {
        ctx_.summary.appendLine(kSystemFileMissing);
        r = 0;
    }
    return r;
}

std::int32_t CardControl::boot() {
    const std::string& file = ctx_.driver.remote() ? ctx_.settings.remoteOsFileName : ctx_.settings.bootFileName;
    std::int32_t r = ctx_.driver.BootFile(file, ctx_.settings.baseAddress).value_or(KVX_E_NOT_SUPPORTED);
    ctx_.records.optionDescriptors.reset();
    return r;
}

void CardControl::selectCardIndex(int index) {
    Control& combo = ctx_.model["cbCardNr"];
    const bool valid = index >= 0 && index < static_cast<int>(combo.items.size());
    combo.selectedIndex = valid ? index : -1;
    combo.text = valid ? combo.items[static_cast<std::size_t>(index)] : std::string();
}

int CardControl::initialiseCard() {
    Driver& drv = ctx_.driver;
    SettingsValues& set = ctx_.settings;
    Control& combo = ctx_.model["cbCardNr"];

    ctx_.records.systemInfo.setWord(SystemInfo::kCardWord, 0);
    std::int32_t result = initialiseWithSummary();

    combo.items.clear();
    combo.text.clear();
    if (drv.remote()) {
        set.selectedCard = 0;
        combo.items.push_back("0");
    } else {
        for (int i = 0; i < kMaxCards; ++i) {
            if (drv.CardSelect(i) != i) break;
            combo.items.push_back(std::to_string(i));
        }
        if (set.selectedCard != 0) {
            if (drv.CardSelect(set.selectedCard) == set.selectedCard) {
                result = initialise();
                if (result == KVX_INIT_NO_SYSTEM_FILE) result = 0;
            } else {
                set.selectedCard = 0;
            }
        }
        // Filling the list left the driver on the last card that answered (a
        // refused selection keeps the card it had): select the card the list shows.
        if (set.selectedCard == 0 && !combo.items.empty()) drv.CardSelect(0);
    }
    selectCardIndex(set.selectedCard);

    if (result != 0 && set.tryToBoot != 0) {
        ctx_.model.caption = "Booting ...";
        const std::int32_t bootResult = boot();
        if (bootResult != 0) {
            ctx_.model.caption = withCode("Error ", bootResult, " at booting system!");
            return 0;
        }
        ctx_.clock.sleepMs(100);
        result = initialiseWithSummary();
    }
    if (result != 0) {
        ctx_.model.caption = withCode("Error ", result, " at Initialisation!");
        return 0;
    }
    return 1;
}

void CardControl::cbCardNrChange(int index) {
    SettingsValues& set = ctx_.settings;
    set.selectedCard = index;
    if (!ctx_.driver.remote() && ctx_.driver.CardSelect(set.selectedCard) != set.selectedCard) {
        set.selectedCard = 0;
        selectCardIndex(0);
        ctx_.driver.CardSelect(0);  // the refused card leaves the driver where it was
    } else {
        selectCardIndex(index);
    }
    const std::int32_t result = initialiseWithSummary();
    ctx_.state.wasOnline = 0;
    ctx_.model.caption = result != 0 ? withCode("Fehler ", result, " bei Initialisierung!")
                                     : ctx_.programFileName + " - Online Mode";
}

void CardControl::buRebootClick() {
    SettingsValues& set = ctx_.settings;
    const bool remote = ctx_.driver.remote();
    const bool askForFiles = ctx_.model["cbGetFileNames"].checked;
    const auto setCaption = [this](std::string text) { ctx_.model.caption = std::move(text); };

    std::int32_t r = 1;
    if (!askForFiles || remote) {
        setCaption("Booting System ...");
        if (remote && askForFiles && ctx_.reloadAccessData) ctx_.reloadAccessData();
        r = boot();
    }

    for (;;) {
        // Boot file: the user picks files until one boots or the dialog is cancelled.
        if (!remote) {
            int filter = 1;
            while (r != 0) {
                auto chosen = ctx_.dialogs.openFile(set.bootFileName, filter);
                filter = 0;
                if (!chosen) break;
                set.bootFileName = *chosen;
                setCaption("Booting System ...");
                r = boot();
            }
        }
        if (r != 0) {
            setCaption(withCode("Error ", r, " at booting system!"));
            return;
        }

        ctx_.clock.sleepMs(100);
        r = KVX_INIT_NO_SYSTEM_FILE;
        if (!askForFiles || remote) r = initialise();  // a local 20 stays 20: ask for the system file
        if (r == KVX_INIT_VERSION_CONFLICT) continue;

        // System file: asked for while the controller has none loaded.
        bool conflict = false;
        int filter = 2;
        while (r == KVX_INIT_NO_SYSTEM_FILE) {
            auto chosen = ctx_.dialogs.openFile(set.systemFileName, filter);
            filter = 0;
            if (!chosen) break;
            set.systemFileName = *chosen;
            r = initialiseWithSummary();
            if (r == KVX_INIT_VERSION_CONFLICT) {
                conflict = true;
                break;
            }
        }
        if (conflict) continue;

        if (r != 0) setCaption(withCode("Error ", r, " at Initialisation!"));
        return;
    }
}

}  // namespace kvx
