// Reads a fuzz input front to back as the values a target needs. Past the
// end every read answers zero, so any input, even an empty one, is a whole
// run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kvx::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    bool flag() { return byte() & 1; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t(byte()) << (8 * i);
        return v;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

    // Copies up to `size` bytes into `out`; what the input cannot supply is
    // left as it was.
    void fill(void* out, std::size_t size) {
        const std::size_t n = size < remaining() ? size : remaining();
        if (n) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
    }

    // A text whose length is one byte of the input.
    std::string text(std::size_t maxLength = 255) {
        std::size_t n = byte();
        if (n > maxLength) n = maxLength;
        if (n > remaining()) n = remaining();
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

    // Everything up to the separator byte (not included), or to the end.
    std::string until(std::uint8_t separator) {
        std::size_t start = pos_;
        while (pos_ < size_ && data_[pos_] != separator) ++pos_;
        std::string s(reinterpret_cast<const char*>(data_ + start), pos_ - start);
        if (pos_ < size_) ++pos_;
        return s;
    }

    std::string rest() {
        std::string s(reinterpret_cast<const char*>(data_ + pos_), remaining());
        pos_ = size_;
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace kvx::fuzz
