// Controller identity and versions: TAVOS version and name, sample time,
// error register, serial numbers, axis count and the status record, each read
// only when the driver library and TAVOS are new enough to offer it.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

namespace {

// Local mode asks the driver library's version; remote mode only whether the
// remote library has the operation.
bool driverAllows(const PollContext& ctx, Op op, double minDriverVersion) {
    return ctx.driver.remote() ? ctx.driver.provides(op) : ctx.state.driverVersion >= minDriverVersion;
}

// Reads an environment variable of the controller; nullopt when it cannot be read.
std::optional<std::string> readEnv(PollContext& ctx, const char* name) {
    EnvBuffer buffer;
    buffer.setText(name);
    auto r = ctx.driver.getEnvStr(buffer);
    if (!r || *r <= 0) return std::nullopt;
    return buffer.text();
}

// Strict decimal integer; anything else, or a value out of range, is unreadable.
std::optional<std::int32_t> parseDecimal(const std::string& s) {
    std::int32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

void readTavosVersion(PollContext& ctx) {
    PollState& st = ctx.state;
    DisplayModel& m = ctx.model;
    if (st.tavosVersion > 0 && driverAllows(ctx, Op::rdOsVersion, 253.015)) {
        std::int32_t v = 0;
        auto r = ctx.driver.rdOsVersion(v);
        if (r && *r == 0) {
            st.tavosVersion = v * 0.001;
            // The minor number: the thousands' remainder, as the integer truncations give it.
            const std::int32_t minor = v - 1000 * (v / 1000);
            m.setText("laTavosName", "TAVOS.ELF: ");
            m.setPlaced("laTavosNameNr", ctx.records.systemInfo.tavosName() + "." + std::to_string(minor),
                        "laTavosName");
        } else {
            st.tavosVersion = 0;
        }
    } else {
        st.tavosVersion = 0;
    }
    if (st.tavosVersion == 0) {
        m.setText("laTavosName", "TAVOS.ELF: ");
        m.setPlaced("laTavosNameNr", ctx.records.systemInfo.tavosName(), "laTavosName");
    }
}

void readErrorRegister(PollContext& ctx) {
    if (!(driverAllows(ctx, Op::rdErrorReg, 253.02) && ctx.state.tavosVersion >= 253.048)) return;
    std::int32_t reg = 0;
    if (!ctx.driver.rdErrorReg(reg)) return;  // not provided: the labels keep their texts
    ctx.model.setText("laErrorReg", "ErrorRegister: ");
    ctx.model.setValue("laErrorRegNr", hex(reg, 8), reg != 0 ? ColourRole::Fault : ColourRole::Normal);
    ctx.model.placeAfter("laErrorRegNr", "laErrorReg");
    if (reg != 0) ctx.summary.reportFault("Bit in ErrorRegister has been set!", fault::ErrorRegister);
}

void readEnvironment(PollContext& ctx) {
    PollState& st = ctx.state;
    if (!(driverAllows(ctx, Op::getEnvStr, 253.026) && st.tavosVersion >= 253.037)) {
        st.serialBaseText = "n.a.";
        st.serialOptionText = "n.a.";
        return;
    }
    st.serialBaseText = readEnv(ctx, "SerialNumber").value_or("cannot be read!");
    st.serialOptionText = readEnv(ctx, "SerialNumberOXT").value_or("n.a.");
    if (st.sampleTimeUs == 0) {
        std::optional<std::int32_t> us;
        if (auto text = readEnv(ctx, "SampleTime")) us = parseDecimal(*text);
        st.sampleTimeUs = us.value_or(1280);
    }
}

}  // namespace

std::string miniportText(std::uint32_t word) {
    const unsigned n0 = word & 0xF, n1 = (word >> 4) & 0xF, n2 = (word >> 8) & 0xF, n3 = (word >> 12) & 0xF,
                   n4 = (word >> 16) & 0xF;
    std::string s;
    if (n4 > 0) s += char(0x30 + n4);
    if (n3 <= 9) {
        s += char(0x30 + n3);
    } else {
        s += char(0x30 + (n3 - 9));
        s += '0';
    }
    s += '.';
    s += char(0x30 + n2);
    s += char(0x30 + n1);
    s += char(0x60 + n0);
    return s;
}

std::string sampleTimeText(std::int32_t sampleTimeUs) {
    if (sampleTimeUs == 0) return "n.a.";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", sampleTimeUs * 0.001);
    return std::string(buf) + " ms";
}

std::string hex(std::int64_t value, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(static_cast<std::uint32_t>(value)));
    return buf;
}

void readMiniportVersion(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    m.setText("laMiniportVersion", "Miniport Version: ");
    if (!ctx.driver.remote() && ctx.state.driverVersion >= 253.01) {
        if (auto word = ctx.driver.rdDriverVersion()) {
            ctx.state.miniportVersion = *word;
            m.setPlaced("laMiniportVersionNr", miniportText(static_cast<std::uint32_t>(*word)), "laMiniportVersion");
            return;
        }
    }
    m.setPlaced("laMiniportVersionNr", "n.a.", "laMiniportVersion");
}

void readIdentity(PollContext& ctx, TickValues& tick) {
    PollState& st = ctx.state;
    readTavosVersion(ctx);
    if (driverAllows(ctx, Op::rdSampleTime, 253.022) && st.tavosVersion >= 253.03)
        ctx.driver.rdSampleTime(st.sampleTimeUs);
    readErrorRegister(ctx);
    readEnvironment(ctx);
    st.axisCount = ctx.records.systemInfo.axisCount();
    tick.sampleTimeText = sampleTimeText(st.sampleTimeUs);
    ctx.driver.rdKvxStatus(ctx.records.statusRecord);  // not provided: the record keeps its contents
}

}  // namespace kvx
