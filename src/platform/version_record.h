// File-version records of our programs and shared libraries.
//
// The record lives in the ELF section ".kvx_version" (stamped by the CMake
// function kvx_stamp_version) and is read from the file without loading it.
//
// Record format (all text, no byte-order concerns):
//   "KVXVER1" '\0'                      magic, 8 bytes
//   key '=' value '\0'                  any number of entries
//   '\0'                                end of the record (or the section's end)
// Keys are case-sensitive; a value runs from the first '=' to the terminator.
// The values the program uses are "InternalName", "OriginalFileName" and
// "FileVersion" (e.g. "2, 5, 3, 15"). A later entry with the same key does not
// replace an earlier one.
//
// A file without the section, with a record that does not start with the
// magic, or whose ELF headers are truncated, inconsistent or point outside the
// file has no version information. ELF64 and ELF32, either byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace kvx {

inline constexpr char kVersionSectionName[] = ".kvx_version";
inline constexpr char kVersionRecordMagic[] = "KVXVER1";  // followed by its '\0'
// Largest section accepted; a real record is well under 1 KiB.
constexpr std::size_t kMaxVersionSectionSize = 64 * 1024;

struct VersionRecord {
    std::map<std::string, std::string> values;

    // The value of `key`; nullopt when the record lacks it.
    std::optional<std::string> value(const std::string& key) const;
};

// Parses the contents of a ".kvx_version" section.
std::optional<VersionRecord> parseVersionRecord(std::span<const std::uint8_t> section);

// The contents of the named section of an ELF image held in memory; nullopt
// when the image is not a well-formed ELF file, lacks the section, or the
// section is larger than kMaxVersionSectionSize.
std::optional<std::string> elfSectionContents(std::span<const std::uint8_t> image, const std::string& name);

// The version record of an ELF image in memory / of a file on disk.
std::optional<VersionRecord> versionRecordFromImage(std::span<const std::uint8_t> image);
std::optional<VersionRecord> readVersionRecord(const std::string& path);

}  // namespace kvx
