#include "poll/poll_cycle.h"

#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

namespace {

constexpr double kTavosVersionRequest = 0.001;

const char* initResultLine(std::int32_t result) {
    switch (result) {
    case KVX_INIT_VERSION_CONFLICT: return "Version conflict between kvxg3.dll and TAVOS.ELF!";
    case KVX_INIT_NO_MINIPORT: return "Miniport Driver not available!";
    case KVX_INIT_NO_SYSTEM_FILE: return "No valid System File (system.dat)!";
    default: return nullptr;
    }
}

}  // namespace

void PollCycle::tick() {
    Driver& drv = ctx_.driver;
    DriverRecords& rec = ctx_.records;
    PollState& st = ctx_.state;
    DisplayModel& m = ctx_.model;
    ErrorSummary& summary = ctx_.summary;

    summary.startTick();

    TickValues tick;
    const std::string& systemFile = drv.remote() ? ctx_.settings.remoteSysFileName : ctx_.settings.systemFileName;
    std::int32_t result = drv.initSystem(rec.axisTable, rec.systemInfo, ctx_.settings.baseAddress, systemFile,
                                         tick.boardType)
                              .value_or(KVX_E_NOT_SUPPORTED);
    if (!drv.remote() && result == KVX_INIT_NO_SYSTEM_FILE) {
        m.caption = "System.dat not loaded up to now!";
        summary.appendLine("System.dat not loaded up to now!");
        result = 0;
    }

    st.initResult = result;

    m.setText("laTavosName", "TAVOS.ELF: ");
    m.setPlaced("laTavosNameNr", rec.systemInfo.tavosName(), "laTavosName");

    st.online = result == 0 ? 1 : 0;
    if (st.online && !st.wasOnline) wentOnline();
    if (!st.online) {
        if (st.wasOnline) {
            m.caption = "Error " + std::to_string(result) + " at Initialisation!";
        } else {
            m.setPlaced("laSnrGrundplatineNr", "", "laSnrGrundplatine");
            m.setPlaced("laSnrOptionsprintNr", "", "laSnrOptionsprint");
            m.setPlaced("laErrorRegNr", "", "laErrorReg");
        }
        summary.countFault(fault::Offline);
    }
    st.wasOnline = st.online;

    if (st.online) {
        summary.warningsAtHead();
        readIdentity(ctx_, tick);
        checkBoard(ctx_, tick);
        checkAxes(ctx_);
        monitorTasks(ctx_);
        checkLinkAndTiming(ctx_);
    } else {
        offlinePresentation(result);
    }

    summary.endTick(ctx_.protocol);
}

void PollCycle::wentOnline() {
    Driver& drv = ctx_.driver;
    DriverRecords& rec = ctx_.records;
    PollState& st = ctx_.state;

    ctx_.summary.clearWarningStore();
    rec.optionDescriptors.reset();

    if (drv.remote()) {
        drv.rdPldVersion(st.pldRevision);  // missing: the revision stays as it was
    } else if (st.driverVersion >= 253.0) {
        drv.rdPldVersion(st.pldRevision);
    } else {
        st.pldRevision = -1;
    }

    // A library without the operation gets neither the op codes nor their waits.
    if (drv.provides(Op::tvMXI_OpCodeToLinkMTX)) {
        drv.tvMXI_OpCodeToLinkMTX(ctx_.settings.selectedCard, 1003);
        ctx_.clock.sleepMs(10);
        drv.tvMXI_OpCodeToLinkMTX(ctx_.settings.selectedCard, 1002);
        ctx_.clock.sleepMs(10);
    }

    ctx_.model.caption = onlineCaption();
    st.tavosVersion = kTavosVersionRequest;

    // Resource interface: option 62 must be readable.
    if (auto r = drv.rdOptionInt(rec.optionDescriptors[OptionDescriptors::EpmBase], st.epmBaseRevision)) {
        if (*r != KVX_OPTION_READ) ctx_.summary.addWarning("Ressource-Interface not available in TAVOS.ELF!  ", 10);
    }

    // Maximum position error limits, once per went-online transition; a
    // library without rdmpe skips the check rather than judging stale records.
    if (drv.provides(Op::rdmpe)) {
        const int axes = clampAxisCount(rec.systemInfo.axisCount());
        for (int i = 0; i < axes; ++i) {
            drv.rdmpe(rec.axisTable[i]);
            if (rec.axisTable[i].maxPositionErrorLimit() == 0.0)
                ctx_.summary.addWarning(
                    "Warning: No Maximum Position Error defined at Axis A" + std::to_string(i + 1) + "!\t", 20);
        }
    }

    readMiniportVersion(ctx_);
}

void PollCycle::offlinePresentation(std::int32_t result) {
    DisplayModel& m = ctx_.model;

    m.setText("laBoardType", "Board type: ");
    m.setPlaced("laBoardTypeNr", "not identified", "laBoardType");
    m.setText("laPldRev", "");
    const char* before = "laPldRev";
    for (const char* name : {"laPldRevNr", "laEpmBaseRev", "laEpmBaseRevNr", "laEpmOptionRev", "laEpmOptionRevNr"}) {
        m.setPlaced(name, "", before);
        before = name;
    }
    for (const char* name : {"laStatusRegister", "laStatusRegisterNr", "laEO", "laEONr", "laCEF", "laCEFNr", "laDHEF",
                             "laDHEFNr", "laMPE", "laMPENr", "laECS", "laECSNr"})
        m.setText(name, "");

    auto showNoValue = [&m](const CounterRow& row) {
        m.setText(row.caption, row.text);
        m.setValue(std::string(row.caption) + "Nr", "---", ColourRole::Normal);
    };
    for (const CounterRow& row : kLinkCounterRows) showNoValue(row);
    showNoValue(kMinTimeRow);
    showNoValue(kMaxTimeRow);
    for (int t = 0; t < 4; ++t) m.setText("laTask" + std::to_string(t) + "FileName", "");

    ctx_.summary.replaceSummary("System is offline:\nBoot System in Application\nor check monitor screen in bootmon!");
    ctx_.summary.countFault(fault::Offline);
    ctx_.records.optionDescriptors.reset();
    if (const char* line = initResultLine(result)) ctx_.summary.appendLine(line);
}

void PollCycle::meErrorSummaryDblClick() {
    PollState& st = ctx_.state;
    Driver& drv = ctx_.driver;
    st.wasOnline = 0;
    if (!st.online) return;

    const std::uint32_t mask = ctx_.summary.faultMask();
    if (mask & fault::EncoderError) {
        const int axes = clampAxisCount(ctx_.records.systemInfo.axisCount());
        for (int i = 0; i < axes; ++i) drv.rdigi(ctx_.records.axisTable[i]);
    }
    if ((mask & fault::ErrorRegister) && st.driverVersion >= 253.02002 && st.tavosVersion >= 253.048) {
        std::int32_t zero = 0;
        drv.wrErrorReg(zero);
    }
}

}  // namespace kvx
