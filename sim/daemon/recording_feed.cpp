#include "daemon/recording_feed.h"

#include <algorithm>
#include <vector>

#include "driver/records.h"

namespace kvxsim {

namespace {

using kvx::recording::Answer;
namespace call = kvx::call;
using kvx::Op;

std::uint32_t word(const Answer& a, std::size_t offset) {
    return offset + 4 <= a.bytes.size() ? kvx::le::read32(&a.bytes[offset]) : 0;
}

std::string text(const Answer& a, std::size_t offset, std::size_t size) {
    if (offset >= a.bytes.size()) return {};
    return kvx::le::text(&a.bytes[offset], std::min(size, a.bytes.size() - offset));
}

// An axis record's words as the card keeps them.
void takeAxisRecord(AxisState& axis, const Answer& a, std::size_t base) {
    axis.stateWord = word(a, base + kvx::AxisRecord::kAxisStateWord);
    if (base + kvx::AxisRecord::kMaxPositionErrorLimit + 8 <= a.bytes.size())
        axis.maxPositionErrorLimit = kvx::le::readDouble(&a.bytes[base + kvx::AxisRecord::kMaxPositionErrorLimit]);
    axis.statusWord = word(a, base + kvx::AxisRecord::kStatusWord);
    axis.epromCheckSum = word(a, base + kvx::AxisRecord::kEpromCheckSum);
}

}  // namespace

bool RecordingFeed::open(const std::string& file, std::string& error) { return reader_.open(file, error); }

bool RecordingFeed::next(std::int64_t& atMs) {
    using Next = kvx::recording::RecordingReader::Next;
    while (reader_.next(segment_) == Next::Segment) {
        if (segment_.answers.empty()) continue;
        if (firstEpochMs_ < 0) firstEpochMs_ = segment_.epochMs;
        atMs = segment_.epochMs - firstEpochMs_;
        return true;
    }
    return false;
}

void RecordingFeed::apply(CardState& card, SteadyClock::time_point now) const {
    // The axis reads of one tick come in axis order; the last `axisCount` of
    // them are the axis checks (a KVX-4000 reads the first axis of each module before).
    std::vector<const Answer*> axisStates, moduleStatus, moduleSums, limits;
    for (const Answer& a : segment_.answers) {
        if (!a.result && a.call != call::of(Op::Init)) continue;
        const std::int32_t r = a.result.value_or(0);
        switch (a.call) {
        case call::of(Op::Init): {
            if (a.result) card.setInitResult(r, now);
            if (r != 0) break;
            const std::size_t info = sizeof(kvx::AxisTable);
            card.tavosName = text(a, info + kvx::SystemInfo::kTavosName, kvx::SystemInfo::kTavosNameSize);
            card.axisCount = std::clamp(static_cast<int>(word(a, info + kvx::SystemInfo::kAxisCount)), 0, kMaxAxes);
            card.boardType = static_cast<std::int32_t>(word(a, info + kvx::SystemInfo::kSize));
            for (int i = 0; i < card.axisCount; ++i)
                takeAxisRecord(card.axes[static_cast<std::size_t>(i)], a, static_cast<std::size_t>(i) * kvx::AxisRecord::kSize);
            break;
        }
        case call::of(Op::rdaxst): axisStates.push_back(&a); break;
        case call::of(Op::rdasms): moduleStatus.push_back(&a); break;
        case call::of(Op::rdasmecs): moduleSums.push_back(&a); break;
        case call::of(Op::rdmpe): limits.push_back(&a); break;
        case call::of(Op::rdifs): card.interfaceStatus = word(a, kvx::AxisRecord::kStatusWord); break;
        case call::of(Op::rddigib):
            if (a.key >= 0 && a.key < kMaxAxes) card.axes[static_cast<std::size_t>(a.key)].encoderError = r != 0;
            break;
        case call::of(Op::rdKvxStatus):
            card.minCycleTime = word(a, kvx::StatusRecord::kMinCycleTime);
            card.maxCycleTime = word(a, kvx::StatusRecord::kMaxCycleTime);
            for (int c = 0; c < kLinkCounterCount; ++c)
                card.linkCounters[static_cast<std::size_t>(c)] =
                    word(a, kvx::StatusRecord::kDmaReadErrors + 4 * static_cast<std::size_t>(c));
            card.setRunCounter(word(a, kvx::StatusRecord::kRunCounter), now);
            break;
        case call::of(Op::rdcncts):
            if (a.key >= 0 && a.key < kTaskCount) {
                TaskState& t = card.tasks[static_cast<std::size_t>(a.key)];
                t.errorNumber = static_cast<std::int32_t>(word(a, 0));
                t.errorLine = static_cast<std::int32_t>(word(a, 4));
                t.state = word(a, 12);
            }
            break;
        case call::of(Op::getcnctfh):
            if (a.key >= 0 && a.key < kTaskCount)
                card.tasks[static_cast<std::size_t>(a.key)].fileName =
                    text(a, kvx::TaskFileRecord::kFileName, kvx::TaskFileRecord::kSize - kvx::TaskFileRecord::kFileName);
            break;
        case call::of(Op::rdOsVersion): card.osVersion = static_cast<std::int32_t>(word(a, 0)); break;
        case call::of(Op::rdPldVersion): card.pldRevision = static_cast<std::int32_t>(word(a, 0)); break;
        case call::of(Op::rdSampleTime): card.sampleTimeUs = static_cast<std::int32_t>(word(a, 0)); break;
        case call::of(Op::rdErrorReg): card.errorRegister = word(a, 0); break;
        case call::of(Op::rdDriverVersion): card.miniportVersion = static_cast<std::uint32_t>(r); break;
        case call::of(Op::rdOptionInt):
            card.options[a.key] = {r == KVX_OPTION_READ, static_cast<std::int32_t>(word(a, kvx::OptionDescriptor::kSize))};
            break;
        case call::of(Op::getEnvStr): {
            const std::string name = text(a, kvx::EnvBuffer::kSize, kvx::EnvBuffer::kSize);
            if (!name.empty() && r > 0) card.environment[name] = text(a, 0, kvx::EnvBuffer::kSize);
            break;
        }
        default: break;
        }
    }
    const std::size_t n = std::min<std::size_t>(axisStates.size(), static_cast<std::size_t>(card.axisCount));
    for (std::size_t i = 0; i < n; ++i)
        card.axes[i].stateWord = word(*axisStates[axisStates.size() - n + i], kvx::AxisRecord::kAxisStateWord);
    for (std::size_t i = 0; i < moduleStatus.size() && 2 * i < kMaxAxes; ++i)
        card.axes[2 * i].statusWord = word(*moduleStatus[i], kvx::AxisRecord::kStatusWord);
    for (std::size_t i = 0; i < moduleSums.size() && 2 * i < kMaxAxes; ++i)
        card.axes[2 * i].epromCheckSum = word(*moduleSums[i], kvx::AxisRecord::kEpromCheckSum);
    for (std::size_t i = 0; i < limits.size() && i < kMaxAxes; ++i)
        if (limits[i]->bytes.size() >= kvx::AxisRecord::kMaxPositionErrorLimit + 8)
            card.axes[i].maxPositionErrorLimit = kvx::le::readDouble(&limits[i]->bytes[kvx::AxisRecord::kMaxPositionErrorLimit]);
}

}  // namespace kvxsim
