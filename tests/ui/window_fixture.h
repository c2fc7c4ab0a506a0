// A main window over a fresh display model, with actions that only record
// what reached them.
#pragma once

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "display/display_model.h"
#include "display/window_actions.h"
#include "ui/main_window.h"

namespace kvx::test {

class RecordingActions : public WindowActions {
public:
    void cbCardNrChange(int index) override { cardIndexes.push_back(index); }
    void buRebootClick() override { ++reboots; }
    void meErrorSummaryDblClick() override { ++doubleClicks; }
    void cbStayOnTopChange(int index) override {
        modeIndexes.push_back(index);
        if (model) model->stayOnTop = index == 1;  // what the core does with it
    }
    void cbUseWebServicesClick(bool checked) override { webServices.push_back(checked); }
    void cbGetFileNamesClick(bool checked) override { getFileNames.push_back(checked); }

    bool nothingReceived() const {
        return cardIndexes.empty() && modeIndexes.empty() && webServices.empty() && getFileNames.empty() &&
               reboots == 0 && doubleClicks == 0;
    }

    DisplayModel* model = nullptr;
    std::vector<int> cardIndexes;
    std::vector<int> modeIndexes;
    std::vector<bool> webServices;
    std::vector<bool> getFileNames;
    int reboots = 0;
    int doubleClicks = 0;
};

struct WindowFixture {
    WindowFixture() {
        actions.model = &model;
        window = std::make_unique<MainWindow>(model, actions);
    }

    template <typename T = QWidget>
    T* find(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }

    DisplayModel model;
    RecordingActions actions;
    std::unique_ptr<MainWindow> window;
};

}  // namespace kvx::test
