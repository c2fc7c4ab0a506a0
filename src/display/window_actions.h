// What the user can do in the main window, handed to the core. The Qt window
// calls these; tests call them directly.
#pragma once

namespace kvx {

class WindowActions {
public:
    virtual ~WindowActions() = default;
    virtual void cbCardNrChange(int index) = 0;        // card selector changed
    virtual void buRebootClick() = 0;                  // "Boot System"
    virtual void meErrorSummaryDblClick() = 0;         // double-click on the summary
    virtual void cbStayOnTopChange(int index) = 0;     // window mode; -1 = no selection
    virtual void cbUseWebServicesClick(bool checked) = 0;
    virtual void cbGetFileNamesClick(bool checked) = 0;
};

}  // namespace kvx
