// Profile files: ini text files ("[Section]" lines, then "key=value" lines)
// read and written one key at a time. Section and key names compare without
// regard to letter case. There is no cached copy: every read opens the file,
// every write replaces it, so a value written is what the next read sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::profile {

// The longest text a read hands back; longer values are cut to this length.
inline constexpr std::size_t kMaxTextLength = 2047;

// The most of a profile file that is read: real ones hold a few kilobytes.
// Of a larger file only this much is read, said once per file on standard
// error, and such a file is never rewritten (its end would be lost).
inline constexpr std::size_t kMaxFileSize = 1 << 20;

// The value of `key` in `section`, without the blanks around it and cut to
// kMaxTextLength characters. `defaultValue` when the file, the section or the
// key is missing or the file cannot be read. When a key appears more than
// once, the first one counts. Zero bytes in the file read as blanks.
std::string readString(const std::string& file, std::string_view section, std::string_view key,
                       std::string_view defaultValue);

// readString taken through parseInteger; `defaultValue` when the key is
// missing or its value is not an integer.
std::int32_t readInt(const std::string& file, std::string_view section, std::string_view key,
                     std::int32_t defaultValue);

// A lenient integer: blanks around it are ignored; then an optional sign and
// either decimal digits ("768", "-3", "+12", "0300" is 300) or hexadecimal
// digits after "0x", "0X" or "$" ("0x300", "$300", "-$10"). Decimal values
// must fit in 32 bits; hexadecimal values up to FFFFFFFF are taken as 32-bit
// patterns ("$FFFFFFFF" is -1). Anything else, also "12abc", "1 2" or an
// empty text, is no integer.
std::optional<std::int32_t> parseInteger(std::string_view text);

struct WriteResult {
    std::string error;  // empty on success, else what failed and why
    bool ok() const { return error.empty(); }
};

// Sets `key` in `section` to `value`, creating the file, the section or the
// key when missing and keeping every other line as it was. The file is
// replaced as a whole (temporary file in the same folder, flushed to disk,
// then renamed over it), so a failure at any point leaves the old file whole.
// A write-protected file (no write permission bit) is not replaced, nor is
// one that cannot be read. Names holding "=", "]" or line breaks and values
// holding line breaks are refused; zero bytes, vertical tabs and form feeds in
// a value are written as blanks, which is how they read back.
WriteResult writeString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value);
// One key to set: what writeString takes.
struct Entry {
    std::string section, key, value;
};
// Sets each key in turn as writeString would, to the same bytes, but
// replaces the file once for all of them. One result per entry: a refused
// name or value fails alone; a failed replacement fails the keys it would
// have changed, and a file that may not be replaced fails them all.
std::vector<WriteResult> writeStrings(const std::string& file, const std::vector<Entry>& entries);
// Writes the integer as decimal text.
WriteResult writeInt(const std::string& file, std::string_view section, std::string_view key,
                     std::int32_t value);

}  // namespace kvx::profile
