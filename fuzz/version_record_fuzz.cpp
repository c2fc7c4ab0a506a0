// Fuzz target: the reader of file-version records. Any byte string is taken
// as an ELF image and as the contents of a version section; neither may read
// outside the input, and what they find must be a consistent record.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/version_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    if (auto section = kvx::elfSectionContents(bytes, kvx::kVersionSectionName)) {
        if (section->size() > kvx::kMaxVersionSectionSize) std::abort();
        // The record read from the image is the record of that section.
        auto fromImage = kvx::versionRecordFromImage(bytes);
        auto fromSection = kvx::parseVersionRecord(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(section->data()), section->size()));
        if (fromImage.has_value() != fromSection.has_value()) std::abort();
        if (fromImage && fromImage->values != fromSection->values) std::abort();
    } else if (kvx::versionRecordFromImage(bytes)) {
        std::abort();  // a record without a section
    }

    if (auto record = kvx::parseVersionRecord(bytes)) {
        for (const auto& [key, value] : record->values) {
            if (key.find('=') != std::string::npos || key.find('\0') != std::string::npos) std::abort();
            if (value.find('\0') != std::string::npos) std::abort();
            if (record->value(key) != value) std::abort();
        }
    }
    return 0;
}
