// The hash that tells an unchanged answer from its records without keeping
// the records at hand: XXH3, 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvx::recording {

// XXH3 of `size` bytes, with the widest vectors this processor runs.
std::uint64_t xxh3(const void* data, std::size_t size);

}  // namespace kvx::recording
