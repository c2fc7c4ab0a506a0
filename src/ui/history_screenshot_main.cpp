// kvxdiag_history_screenshot FOLDER
// Fills a run history with an hour of a KVX-2000 that had a short emergency
// out, link errors, a timing spike, a restart and an offline period, and
// writes the history window's two pages and the start of the service report
// as PNG files into FOLDER. Runs without a display (QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QPainter>
#include <QTabWidget>
#include <QTextDocument>

#include <cmath>
#include <cstdio>

#include "report/fault_classes.h"
#include "service_report/service_report.h"
#include "ui/history_window.h"

namespace {

using namespace kvx;

class StillClock final : public Clock {
public:
    LocalTime now() override { return {2024, 3, 5, 10, 0, 0}; }
    void sleepMs(int) override {}
};

LocalTime at(int second) { return {2024, 3, 5, 9 + second / 3600, (second / 60) % 60, second % 60}; }

void feedHour(RunHistory& history) {
    LinkCounters counters{};
    std::uint32_t restarts = 0;
    for (int s = 0; s <= 3600; s += 5) {
        TickRecord t;
        t.time = at(s);
        t.monotonicMs = static_cast<std::int64_t>(s) * 1000;
        const int minute = s / 60;
        if (s >= 43 * 60 + 10 && s < 43 * 60 + 40) {  // offline for half a minute
            t.online = false;
            t.initResult = 34;
            t.restartCount = restarts;
            t.faultMask = fault::Offline;
            history.observe(t);
            continue;
        }
        if (s == 43 * 60 + 40) ++restarts;
        t.online = true;
        t.restartCount = restarts;
        t.sampleTimeUs = 1280;
        t.limits = timingLimits(1280);
        t.minCycleUs = 1180 + static_cast<std::uint32_t>(15 * std::sin(s / 70.0) + (s * 7919) % 17);
        t.maxCycleUs = 1310 + static_cast<std::uint32_t>(40 * std::sin(s / 130.0) + (s * 104729) % 37);
        if (s == 38 * 60 + 5) t.maxCycleUs = 1862;
        if (s == 12 * 60) counters[2] += 3;
        if (s == 38 * 60 + 5) {
            counters[2] += 5;
            counters[3] += 2;
        }
        if (s == 51 * 60) counters[0] += 1;
        t.linkCounters = counters;
        t.axisStateWords = {0, 0, 0};
        if (s == 20 * 60 + 15) {
            t.axisStateWords[1] = 0x002;
            t.faults.push_back({"Emergency Out is active! at Axis 2", fault::EmergencyOut});
        }
        if (minute >= 50) {
            t.taskErrors[1] = 17;
            t.faults.push_back({"Runtime error at Task-1 detected!", fault::taskRuntimeError(1)});
        }
        if (counters[0] + counters[2] + counters[3] != 0)
            t.faults.push_back({"Internal Data handling Errors detected!", fault::InternalDataHandling});
        if (t.maxCycleUs > t.limits.upper) t.faults.push_back({"Timing Errors detected!", fault::Timing});
        for (const auto& f : t.faults) t.faultMask |= f.faultClass;
        history.observe(t);
    }
    history.faults().acknowledge(0);
}

void fillModel(DisplayModel& m, SettingsValues& settings) {
    m.caption = "KvxDiagnostics - Online Mode";
    m.setText("laExeVersion", "KvxDiagnostics: ");
    m.setValue("laExeVersionNr", "2.5.3.0", ColourRole::Normal);
    m.setText("laDllName", "kvxg3.dll: 2.5.3.15");
    m.setValue("laMiniportVersionNr", "51.23d", ColourRole::Normal);
    m.setText("laTavosName", "TAVOS.ELF: ");
    m.setValue("laTavosNameNr", "TAVOS 2.53.48", ColourRole::Normal);
    m.setText("laBoardType", "Board type: ");
    m.setValue("laBoardTypeNr", "KVX-2000 / PXB-5001   1.28 ms", ColourRole::Normal);
    m.setText("laSnrGrundplatine", "Serial Number: ");
    m.setValue("laSnrGrundplatineNr", "0412-3381", ColourRole::Normal);
    const std::pair<const char*, const char*> values[] = {
        {"laMinTime", "1187"}, {"laMaxTime", "1342"}, {"laDmaReadErr", "1"}, {"laDmaWriteErr", "0"},
        {"laTimeoutErr", "8"}, {"laRxDataErr", "2"}, {"laRxComErr", "0"}};
    for (const auto& [stem, value] : values)
        m.setValue(std::string(stem) + "Nr", value,
                   std::string(value) != "0" && std::string(stem).find("Err") != std::string::npos ? ColourRole::Fault
                                                                                                   : ColourRole::Normal);
    m.setText("laErrorReg", "ErrorRegister: ");
    m.setValue("laErrorRegNr", "00000000", ColourRole::Normal);
    m.setText("laTask1FileName", "PALLET.QSL");
    m.setValue("edErrNum1", "17", ColourRole::Fault);
    m.setValue("edErrLine1", "212", ColourRole::Fault);
    m.setChecked("cbRun1", true);
    m.setChecked("cbStop0", true);
    m.setChecked("cbStop2", true);
    m.setChecked("cbStop3", true);
    m.summary = {"Runtime error at Task-1 detected!", "Internal Data handling Errors detected!", "",
                 "Some errors can be reset with double-click on this window!"};
    settings.systemFileName = "/opt/kvx/SYSTEM.DAT";
    settings.bootFileName = "/opt/kvx/TAVOS.ELF";
    settings.protocolFileName = "DiagProtocol.txt";
}

bool save(const QImage& image, const QString& path) {
    const bool ok = image.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "cannot write", path.toLocal8Bit().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvxdiag_history_screenshot FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);

    StillClock clock;
    RunHistory history(clock, [] { return std::int64_t{0}; });
    feedHour(history);
    DisplayModel model;
    SettingsValues settings;
    fillModel(model, settings);
    auto sources = [&] { return ReportSources{model, settings, history, clock.now(), "KvxDiagnostics"}; };

    HistoryWindow window(history, sources);
    window.resize(1040, 680);
    window.show();
    app.processEvents();
    bool ok = save(window.grab().toImage(), folder + "/history-faults.png");
    window.tabs()->setCurrentIndex(1);
    app.processEvents();
    ok = save(window.grab().toImage(), folder + "/history-trends.png") && ok;

    // The report as a browser would start it: the first screenful.
    QTextDocument doc;
    doc.setHtml(QString::fromStdString(reportHtml(sources())));
    doc.setTextWidth(960);
    QImage report(960, 1300, QImage::Format_RGB32);
    report.fill(Qt::white);
    {
        QPainter painter(&report);
        doc.drawContents(&painter, QRectF(0, 0, 960, 1300));
    }
    ok = save(report, folder + "/service-report.png") && ok;
    return ok ? 0 : 1;
}
