// Card control against a scripted controller: the card list, the boot on a
// failed initialisation, card selection and the user's reboot.
#include <gtest/gtest.h>

#include "card/card_control.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_driver.h"

namespace kvx {
namespace {

using test::FileRequest;

class CardControlTest : public ::testing::Test {
protected:
    CardControlTest() {
        clock.attach(&sd.log);
        settings.systemFileName = "/opt/kvx/SYSTEM.DAT";
        settings.bootFileName = "/opt/kvx/TAVOS.ELF";
        settings.remoteSysFileName = "/remote/SYSTEM.DAT";
        settings.remoteOsFileName = "/remote/TAVOS.ELF";
        records.optionDescriptors.fill();
    }

    void goRemote() {
        driver.setRemote(true);
        driver.setRemoteHandle(77);
        settings.useWebServices = 1;
    }

    // Marks the option descriptors as used, to see them reset.
    void dirtyDescriptors() {
        for (auto& d : records.optionDescriptors.items) d.set(0, 9);
    }
    bool descriptorsReset() const {
        for (const auto& d : records.optionDescriptors.items)
            if (d.at(0) != 0) return false;
        return true;
    }

    test::ScriptedDriver sd;
    Driver driver{sd.table()};
    DriverRecords records;
    SettingsValues settings;
    PollState state;
    DisplayModel model;
    ErrorSummary summary{model};
    test::FixedClock clock;
    test::ScriptedDialogs dialogs;
    int reloads = 0;
    CardControl card{CardContext{driver, records, settings, state, model, summary, clock, dialogs, "KvxDiagnostics",
                                 [this] { ++reloads; }}};
};

TEST_F(CardControlTest, ListsTheCardsThatAnswerUpToTwenty) {
    sd.controller.cardCount = 3;
    EXPECT_EQ(card.initialiseCard(), 1);
    EXPECT_EQ(model["cbCardNr"].items, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(model["cbCardNr"].selectedIndex, 0);
    EXPECT_EQ(sd.log.count("CardSelect"), 5u);  // 0, 1, 2, the refused 3, then 0 as the list shows

    sd.controller.cardCount = 25;
    sd.log.clear();
    EXPECT_EQ(card.initialiseCard(), 1);
    ASSERT_EQ(model["cbCardNr"].items.size(), 20u);
    EXPECT_EQ(model["cbCardNr"].items.back(), "19");
    EXPECT_EQ(sd.log.count("CardSelect"), 21u);
}

TEST_F(CardControlTest, NoLocalCardLeavesTheListEmptyAndCardZero) {
    sd.controller.cardCount = 0;
    settings.selectedCard = 2;
    card.initialiseCard();
    EXPECT_TRUE(model["cbCardNr"].items.empty());
    EXPECT_EQ(model["cbCardNr"].selectedIndex, -1);
    EXPECT_EQ(settings.selectedCard, 0);
}

TEST_F(CardControlTest, SelectedCardIsInitialisedAgainOrFallsBackToZero) {
    sd.controller.cardCount = 4;
    settings.selectedCard = 2;
    EXPECT_EQ(card.initialiseCard(), 1);
    EXPECT_EQ(sd.log.count("InitKvxSystem3"), 2u);
    EXPECT_EQ(model["cbCardNr"].selectedIndex, 2);
    EXPECT_EQ(model["cbCardNr"].text, "2");

    settings.selectedCard = 9;
    sd.log.clear();
    card.initialiseCard();
    EXPECT_EQ(settings.selectedCard, 0);
    EXPECT_EQ(sd.log.count("InitKvxSystem3"), 1u);
    EXPECT_EQ(model["cbCardNr"].selectedIndex, 0);
}

TEST_F(CardControlTest, FailedInitialisationWithoutBootShowsTheCode) {
    sd.controller.initResult = 5;
    EXPECT_EQ(card.initialiseCard(), 0);
    EXPECT_EQ(model.caption, "Error 5 at Initialisation!");
    EXPECT_FALSE(sd.log.called("BootFile"));
}

TEST_F(CardControlTest, BootErrorEndsTheInitialisationAndResetsTheDescriptors) {
    sd.controller.initResult = 34;
    sd.controller.bootResult = 5;
    settings.tryToBoot = 1;
    dirtyDescriptors();
    EXPECT_EQ(card.initialiseCard(), 0);
    EXPECT_EQ(model.caption, "Error 5 at booting system!");
    EXPECT_TRUE(descriptorsReset());
    ASSERT_EQ(sd.log.to("BootFile").size(), 1u);
    EXPECT_EQ(sd.log.to("BootFile")[0].text, "/opt/kvx/TAVOS.ELF");
}

TEST_F(CardControlTest, SuccessfulBootWaitsAndInitialisesAgain) {
    sd.controller.initResult = 34;
    settings.tryToBoot = 1;
    EXPECT_EQ(card.initialiseCard(), 0);
    EXPECT_EQ(sd.log.names({"InitKvxSystem3", "BootFile", "sleep"}),
              (std::vector<std::string>{"InitKvxSystem3", "BootFile", "sleep", "InitKvxSystem3"}));
    EXPECT_EQ(clock.sleeps(), (std::vector<int>{100}));
    EXPECT_EQ(model.caption, "Error 34 at Initialisation!");
}

TEST_F(CardControlTest, LocalResultTwentyCountsAsInitialisedWithASummaryLine) {
    sd.controller.initResult = 20;
    EXPECT_EQ(card.initialiseCard(), 1);
    EXPECT_EQ(model.summary, (std::vector<std::string>{"System.dat not loaded up to now!"}));
}

TEST_F(CardControlTest, RemoteModeListsCardZeroOnlyAndTwentyIsAnError) {
    goRemote();
    settings.selectedCard = 3;
    sd.controller.initResult = 20;
    EXPECT_EQ(card.initialiseCard(), 0);
    EXPECT_EQ(model["cbCardNr"].items, (std::vector<std::string>{"0"}));
    EXPECT_EQ(settings.selectedCard, 0);
    EXPECT_FALSE(sd.log.called("CardSelect"));
    EXPECT_EQ(model.caption, "Error 20 at Initialisation!");
    EXPECT_EQ(sd.log.to("InitKvxSystem")[0].text, "/remote/SYSTEM.DAT");
}

TEST_F(CardControlTest, CardChangeInitialisesAndClearsWasOnline) {
    sd.controller.cardCount = 3;
    card.initialiseCard();
    state.wasOnline = 1;
    card.cbCardNrChange(2);
    EXPECT_EQ(settings.selectedCard, 2);
    EXPECT_EQ(state.wasOnline, 0);
    EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");

    sd.controller.initResult = 33;
    card.cbCardNrChange(7);  // refused: back to card 0
    EXPECT_EQ(settings.selectedCard, 0);
    EXPECT_EQ(model["cbCardNr"].selectedIndex, 0);
    EXPECT_EQ(model.caption, "Fehler 33 bei Initialisierung!");
}

TEST_F(CardControlTest, RemoteRebootWithVersionConflictEndsAsBootError) {
    goRemote();
    sd.controller.initResult = 33;
    dirtyDescriptors();
    card.buRebootClick();
    EXPECT_EQ(model.caption, "Error 33 at booting system!");
    EXPECT_TRUE(descriptorsReset());
    EXPECT_TRUE(dialogs.requests.empty());
    EXPECT_EQ(sd.log.to("BootFile")[0].text, "/remote/TAVOS.ELF");
    EXPECT_EQ(reloads, 0);
}

TEST_F(CardControlTest, RemoteRebootReloadsAccessDataWhenAskedForFileNames) {
    goRemote();
    model.setChecked("cbGetFileNames", true);
    card.buRebootClick();
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(model.caption, "Booting System ...");
}

TEST_F(CardControlTest, LocalRebootWithVersionConflictAsksForABootFile) {
    sd.controller.initResult = 33;
    // The user picks another boot file; with it the versions agree.
    dialogs.answers.push_back({"/media/TAVOS2.ELF", [this] { sd.controller.initResult = 0; }});
    card.buRebootClick();
    EXPECT_EQ(dialogs.requests, (std::vector<FileRequest>{{"/opt/kvx/TAVOS.ELF", 1}}));
    EXPECT_EQ(settings.bootFileName, "/media/TAVOS2.ELF");
    EXPECT_EQ(sd.log.count("BootFile"), 2u);
    EXPECT_EQ(model.caption, "Booting System ...");
}

TEST_F(CardControlTest, LocalRebootWithFileNamesAsksForBootAndSystemFile) {
    model.setChecked("cbGetFileNames", true);
    dialogs.answers.push_back({"/media/TAVOS.ELF", {}});
    dialogs.answers.push_back({"/media/SYSTEM.DAT", {}});
    card.buRebootClick();
    EXPECT_EQ(dialogs.requests,
              (std::vector<FileRequest>{{"/opt/kvx/TAVOS.ELF", 1}, {"/opt/kvx/SYSTEM.DAT", 2}}));
    EXPECT_EQ(settings.systemFileName, "/media/SYSTEM.DAT");
    EXPECT_EQ(sd.log.names({"BootFile", "sleep", "InitKvxSystem3"}),
              (std::vector<std::string>{"BootFile", "sleep", "InitKvxSystem3"}));
    EXPECT_EQ(sd.log.to("InitKvxSystem3")[0].text, "/media/SYSTEM.DAT");
}

TEST_F(CardControlTest, CancelledBootFileDialogIsBootErrorOne) {
    model.setChecked("cbGetFileNames", true);
    card.buRebootClick();
    EXPECT_EQ(model.caption, "Error 1 at booting system!");
    EXPECT_FALSE(sd.log.called("BootFile"));
}

TEST_F(CardControlTest, RebootEndsWithTheInitialisationError) {
    sd.controller.initResult = 34;
    card.buRebootClick();
    EXPECT_EQ(model.caption, "Error 34 at Initialisation!");
    EXPECT_TRUE(dialogs.requests.empty());
}

}  // namespace
}  // namespace kvx
