// Fuzz target: the recording reader and the replay behind the driver facade.
// Any byte string is read as a recording; every segment it yields is
// replayed into records of the sizes the facade passes. Nothing may read
// outside the input or the records, and every error names an offset inside
// the file. With the first byte odd, the checksums are made right first, so
// that the fuzzer reaches the segment decoder behind them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording/recording_reader.h"
#include "recording/replay_driver.h"

namespace {

using namespace kvx::recording;

void fixChecksums(std::vector<std::uint8_t>& b) {
    std::size_t p = kHeaderSize;
    while (p < b.size()) {
        std::uint64_t length = 0;
        int shift = 0;
        while (p < b.size() && shift < 63) {
            const std::uint8_t x = b[p++];
            length |= std::uint64_t(x & 0x7F) << shift;
            shift += 7;
            if (!(x & 0x80)) break;
        }
        if (length == 0 || length + 4 > b.size() - p) return;
        const std::uint32_t crc = crc32(b.data() + p, length);
        for (int i = 0; i < 4; ++i) b[p + length + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        p += length + 4;
    }
}

std::size_t offsetIn(const std::string& message) {
    const auto at = message.find("offset ");
    return at == std::string::npos ? std::string::npos : std::stoul(message.substr(at + 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    if (data[0] & 1) fixChecksums(bytes);
    const std::size_t fileSize = bytes.size();

    RecordingReader reader;
    std::string error;
    if (!reader.openBytes(std::move(bytes), error)) {
        if (error.empty() || offsetIn(error) > fileSize) std::abort();
        return 0;
    }
    ReplayDriver driver;
    Segment segment;
    for (int n = 0; n < 100000; ++n) {
        const RecordingReader::Next next = reader.next(segment);
        if (next == RecordingReader::Next::Segment) {
            driver.enter(segment);
            for (const Answer& a : segment.answers) {
                std::vector<std::uint8_t> record(240), value(4);
                std::vector<kvx::ErrorRoutineCall> raised;
                driver.answer(a.call, a.key, {std::span(record), std::span(value)}, raised);
            }
            continue;
        }
        if (next != RecordingReader::Next::End && offsetIn(reader.problem()) > fileSize) std::abort();
        break;
    }
    return 0;
}
