// kvxdiag_screenshot FILE.png [WIDTHxHEIGHT] [--su]
// Draws the main window with the values of a typical online KVX-2000 and
// writes it to FILE.png. Runs without a display (QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <iterator>
#include <string>

#include "display/display_model.h"
#include "display/window_actions.h"
#include "ui/main_window.h"

namespace {

class NoActions : public kvx::WindowActions {
public:
    void cbCardNrChange(int) override {}
    void buRebootClick() override {}
    void meErrorSummaryDblClick() override {}
    void cbStayOnTopChange(int) override {}
    void cbUseWebServicesClick(bool) override {}
    void cbGetFileNamesClick(bool) override {}
};

void fillOnlineKvx2000(kvx::DisplayModel& m) {
    using kvx::ColourRole;
    const auto ok = ColourRole::Normal;
    const auto fault = ColourRole::Fault;
    m.caption = "kvxdiag - Online Mode";
    m.setText("laExeVersion", "kvxdiag: ");
    m.setValue("laExeVersionNr", "2.5.3.15", ok);
    m.setText("laDllName", "kvxg3.dll: 2.5.3.15");
    m.setValue("laMiniportVersionNr", "51.23d", ok);
    m.setText("laTavosName", "TAVOS.ELF: ");
    m.setValue("laTavosNameNr", "TAVOS 2.53.48", ok);
    m.setText("laPldRev", "PLD Rev.Nr.: ");
    m.setValue("laBdver_RenumNr", "", ok);
    m.setValue("laFpver_FfuncNr", "", ok);
    m.setValue("laPldRevNr", "12", ok);
    m.setText("laEpmBaseRev", " - EPM Base: ");
    m.setValue("laEpmBaseRevNr", "3", ok);
    m.setText("laEpmOptionRev", " - EPM Option: ");
    m.setValue("laEpmOptionRevNr", "2", ok);
    m["cbStayOnTop"].selectedIndex = 0;

    m.setText("laBoardType", "Board type: ");
    m.setValue("laBoardTypeNr", "KVX-2000/PXB-5001 - 4 Axis - Sample Time: 1.28 ms", ok);
    m.setText("laSnrGrundplatine", "Serial Number KVX-2000/PXB-5001: ");
    m.setValue("laSnrGrundplatineNr", "A2000-04711", ok);
    m.setText("laSnrOptionsprint", "Serial Number Option: ");
    m.setValue("laSnrOptionsprintNr", "O2000-00815", ok);
    m.setText("laStatusRegister", "Interface Status Register (asms.status_word): ");
    m.setValue("laStatusRegisterNr", "03", ok);
    m.setText("laEO", "Emergency Out detected at Axis #: ");
    m.setValue("laEONr", "2", fault);
    m.setText("laCEF", "Configuration Error detected at Axis #: ");
    m.setValue("laCEFNr", "", ok);
    m.setText("laDHEF", "Data handling error detected at Axis #: ");
    m.setValue("laDHEFNr", "", ok);
    m.setText("laMPE", "Maximum position error detected at Axis #: ");
    m.setValue("laMPENr", "", ok);
    m.setText("laECS", "Encoder Error at Axis #: ");
    m.setValue("laECSNr", "", ok);
    m.setText("laErrorReg", "ErrorRegister: ");
    m.setValue("laErrorRegNr", "00000000", ok);
    m.setValue("laMinTimeNr", "1.27 ms", ok);
    m.setValue("laMaxTimeNr", "1.31 ms", ok);
    m.setValue("laDmaReadErrNr", "0", ok);
    m.setValue("laDmaWriteErrNr", "0", ok);
    m.setValue("laTimeoutErrNr", "3", fault);
    m.setValue("laRxDataErrNr", "0", ok);
    m.setValue("laRxComErrNr", "0", ok);

    m.setText("laTask0FileName", "CONVEYOR.QSL");
    m.setChecked("cbRun0", true);
    m.setText("laTask1FileName", "PALLETIZER_MAIN.QSL");
    m.setChecked("cbStop1", true);
    m.setText("edErrNum1", "17");
    m.setText("edErrLine1", "1042");
    m.setText("laTask2FileName", "---");
    m.setText("laTask3FileName", "---");

    // Placed after their captions as the poll places them on a KVX-2000.
    const char* const chain[] = {"laPldRev",       "laBdver_RenumNr", "laFpver_FfuncNr",  "laPldRevNr",
                                 "laEpmBaseRev",   "laEpmBaseRevNr",  "laEpmOptionRev", "laEpmOptionRevNr"};
    for (std::size_t i = 1; i < std::size(chain); ++i) m.placeAfter(chain[i], chain[i - 1]);
    for (const char* stem : {"laExeVersion", "laMiniportVersion", "laTavosName", "laBoardType", "laSnrGrundplatine",
                             "laSnrOptionsprint", "laStatusRegister", "laEO", "laCEF", "laDHEF", "laMPE", "laECS",
                             "laErrorReg"})
        m.placeAfter(std::string(stem) + "Nr", stem);
    m.alignStarts("laSnrGrundplatineNr", "laSnrOptionsprintNr");

    m.summary = {"Emergency Out at Axis 2", "Timeout Errors: 3 (since controller start)",
                 "Task 1: Runtime Error 17 in Line 1042 (PALLETIZER_MAIN.QSL)"};
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.png [WIDTHxHEIGHT] [--su]\n", argv[0]);
        return 2;
    }
    kvx::DisplayModel model;
    fillOnlineKvx2000(model);
    int width = 0, height = 0;
    if (argc >= 3 && std::sscanf(argv[2], "%dx%d", &width, &height) == 2) {
        model.placement.width = width;
        model.placement.height = height;
    }
    if (argc >= 3 && std::string(argv[argc - 1]) == "--su") {
        for (const char* name : {"cbUseWebServices", "cbGetFileNames", "buReboot"}) model.setVisible(name, true);
    }
    NoActions actions;
    kvx::MainWindow window(model, actions);
    window.applyPlacement();
    window.show();
    window.render();
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
