// Board identification and the checks that exist only on some boards: the
// interface status register and encoder errors on the KVX-2000 and KVX-2100,
// the module (ASM) timeout, status and check sums on the KVX-4000.
#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

namespace {

enum BoardType : std::int32_t { Kvx2000 = 4, Kvx4000 = 8, Kvx2400 = 16, Kvx2100 = 32 };

std::string modelText(std::int32_t boardType) {
    switch (boardType) {
    case Kvx2000: return "KVX-2000/PXB-5001 - ";
    case Kvx2100: return "KVX-2100/PXB-5008 - ";
    case Kvx4000: return "KVX-4000/PXB-5401 - ";
    case Kvx2400: return "KVX-2400/CXB-5004 - ";
    default: return "unknown BoardType: ";
    }
}

void boardLine(PollContext& ctx, const TickValues& tick) {
    ctx.model.setText("laBoardType", "Board type: ");
    ctx.model.setPlaced("laBoardTypeNr",
                        modelText(tick.boardType) + std::to_string(ctx.state.axisCount) + " Axis - Sample Time: " +
                            tick.sampleTimeText,
                        "laBoardType");
}

// The PLD revision right after its caption, with the module revision labels
// emptied. The board and FPGA version labels are left where they are: these
// boards have no such values.
void pldRevisionOnly(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    m.setText("laPldRev", "PLD Rev.Nr.: ");
    m.setPlaced("laPldRevNr", std::to_string(ctx.state.pldRevision), "laPldRev");
    const char* before = "laPldRevNr";
    for (const char* name : {"laEpmBaseRev", "laEpmBaseRevNr", "laEpmOptionRev", "laEpmOptionRevNr"}) {
        m.setPlaced(name, "", before);
        before = name;
    }
}

void serialRows(PollContext& ctx, bool kvx2100) {
    DisplayModel& m = ctx.model;
    m.setText("laSnrGrundplatine", kvx2100 ? "Serial Number KVX-2100/PXB-5008: " : "Serial Number KVX-2000/PXB-5001: ");
    m.setPlaced("laSnrGrundplatineNr", ctx.state.serialBaseText, "laSnrGrundplatine");
    m.setText("laSnrOptionsprint", kvx2100 ? "Serial Number OXT-2100: " : "Serial Number OXT-2001: ");
    m.setPlaced("laSnrOptionsprintNr", ctx.state.serialOptionText, "laSnrOptionsprint");
    m.alignStarts("laSnrGrundplatineNr", "laSnrOptionsprintNr");
}

std::int32_t readOption(PollContext& ctx, OptionDescriptors::Index which, std::int32_t& target) {
    return ctx.driver.rdOptionInt(ctx.records.optionDescriptors[which], target).value_or(0);
}

void readOptions(PollContext& ctx, TickValues& tick, bool kvx2100) {
    PollState& st = ctx.state;
    if (kvx2100) ctx.records.optionDescriptors.reset();
    if (readOption(ctx, OptionDescriptors::EpmBase, st.epmBaseRevision) != KVX_OPTION_READ) {
        tick.epmBaseText = tick.epmOptionText = "n.a.";
        return;
    }
    readOption(ctx, OptionDescriptors::EpmOption, st.epmOptionRevision);
    const int digits = kvx2100 ? 4 : 2;
    if (kvx2100) {
        tick.bdverRenumText = readOption(ctx, OptionDescriptors::BoardVersion, st.bdverRenum) == KVX_OPTION_READ
                                  ? hex(st.bdverRenum, 2)
                                  : "n.a.";
        tick.fpverFfuncText = readOption(ctx, OptionDescriptors::FpgaVersion, st.fpverFfunc) == KVX_OPTION_READ
                                  ? hex(st.fpverFfunc, 2)
                                  : "n.a.";
    }
    tick.epmBaseText = hex(st.epmBaseRevision, digits);
    tick.epmOptionText = st.epmOptionRevision == -1 ? "n.a." : hex(st.epmOptionRevision, digits);
}

void revisionLine(PollContext& ctx, const TickValues& tick, bool kvx2100) {
    DisplayModel& m = ctx.model;
    m.setText("laPldRev", "PLD Rev.Nr.: ");
    m.setPlaced("laBdver_RenumNr", kvx2100 ? tick.bdverRenumText : "", "laPldRev");
    m.setPlaced("laFpver_FfuncNr", kvx2100 ? tick.fpverFfuncText : "", "laBdver_RenumNr");
    m.setPlaced("laPldRevNr", std::to_string(ctx.state.pldRevision), "laFpver_FfuncNr");
    m.setPlaced("laEpmBaseRev", kvx2100 ? " - EPM Base(optoio): " : " - EPM Base: ", "laPldRevNr");
    m.setPlaced("laEpmBaseRevNr", tick.epmBaseText, "laEpmBaseRev");
    m.setPlaced("laEpmOptionRev", kvx2100 ? " - EPM Option(optoio): " : " - EPM Option: ", "laEpmBaseRevNr");
    m.setPlaced("laEpmOptionRevNr", tick.epmOptionText, "laEpmOptionRev");
}

void interfaceStatus(PollContext& ctx) {
    AxisTable& axes = ctx.records.axisTable;
    ctx.driver.rdifs(axes);  // not provided: reads as 0
    const std::uint32_t reg = axes[0].statusWord();
    ctx.model.setText("laStatusRegister", "Interface Status Register (asms.status_word): ");
    ctx.model.setValue("laStatusRegisterNr", hex(reg, 2), reg == 3 ? ColourRole::Normal : ColourRole::Fault);
    ctx.model.placeAfter("laStatusRegisterNr", "laStatusRegister");
    if (reg != 3) ctx.summary.reportFault("Interface Status Register Error!", fault::InterfaceStatus);
}

void encoderErrors(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    m.setText("laECS", "Encoder Error at Axis #: ");
    m.setValue("laECSNr", "", ColourRole::Normal);
    m.placeAfter("laECSNr", "laECS");
    const int axes = clampAxisCount(ctx.state.axisCount);
    for (int i = 0; i < axes; ++i) {
        if (ctx.driver.rddigib(i).value_or(0) == 0) continue;
        m.appendText("laECSNr", std::to_string(i + 1) + " ");
        m.setRole("laECSNr", ColourRole::Fault);
        ctx.summary.reportFault("Encoder Error at Axis " + std::to_string(i + 1), fault::EncoderError);
    }
}

void kvx2000Family(PollContext& ctx, TickValues& tick, bool kvx2100) {
    boardLine(ctx, tick);
    serialRows(ctx, kvx2100);
    readOptions(ctx, tick, kvx2100);
    revisionLine(ctx, tick, kvx2100);
    interfaceStatus(ctx);
    encoderErrors(ctx);
}

// Each ASM serves two axes and keeps its data in the record of its first axis.
void asmModules(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    AxisTable& axes = ctx.records.axisTable;
    const int count = clampAxisCount(ctx.state.axisCount);
    for (int i = 0; i < count; i += 2) {
        const std::string k = std::to_string(i / 2);
        AxisRecord& first = axes[i];
        ctx.driver.rdaxst(first);  // not provided: no timeout
        if (first.axisStateWord() & 0x1) {
            m.appendText("laStatusRegisterNr", k + " ");
            m.setRole("laStatusRegisterNr", ColourRole::Fault);
            ctx.summary.reportFault("Timeout at ASM # " + k, fault::AsmTimeout);
            m.appendText("laECSNr", " ------ ");
            m.setRole("laECSNr", ColourRole::Fault);
            continue;
        }
        ctx.driver.rdasmecs(first);
        ctx.driver.rdasms(first);
        const std::uint32_t status = first.statusWord();
        if ((status & 0xBF) != 0x10) {
            m.appendText("laSnrOptionsprint", k + " (" + hex(status, 2) + " hex)  ");
            ctx.summary.reportFault("ASM Status Error at ASM # " + k, fault::AsmStatus);
        }
        m.appendText("laECSNr", " " + hex(first.epromCheckSum(), 4) + " hex  ");
    }
}

void kvx4000(PollContext& ctx, TickValues& tick) {
    DisplayModel& m = ctx.model;
    pldRevisionOnly(ctx);
    boardLine(ctx, tick);
    m.setText("laSnrGrundplatine", "Serial Number KVX-4000/PXB-5401: ");
    // The base serial number follows its own caption; the option row holds
    // the module status list from here on, so the two are not aligned.
    m.setPlaced("laSnrGrundplatineNr", ctx.state.serialBaseText, "laSnrGrundplatine");
    m.setText("laSnrOptionsprint", "ASMS Error at ASM# ");
    m.setPlaced("laSnrOptionsprintNr", "", "laSnrOptionsprint");
    m.setText("laStatusRegister", "ASM Timeout at ASM# ");
    m.setValue("laStatusRegisterNr", "", ColourRole::Normal);
    m.placeAfter("laStatusRegisterNr", "laStatusRegister");
    m.setText("laECS", "EPROM Check Sum: ");
    m.setValue("laECSNr", "", ColourRole::Normal);
    m.placeAfter("laECSNr", "laECS");
    asmModules(ctx);
}

void otherBoard(PollContext& ctx, TickValues& tick) {
    ctx.model.setText("laECS", "");
    ctx.model.setValue("laECSNr", "", ColourRole::Normal);
    ctx.model.placeAfter("laECSNr", "laECS");
    pldRevisionOnly(ctx);
    boardLine(ctx, tick);
}

}  // namespace

void checkBoard(PollContext& ctx, TickValues& tick) {
    switch (tick.boardType) {
    case Kvx2000: kvx2000Family(ctx, tick, false); break;
    case Kvx2100: kvx2000Family(ctx, tick, true); break;
    case Kvx4000: kvx4000(ctx, tick); break;
    default: otherBoard(ctx, tick); break;
    }
}

}  // namespace kvx
