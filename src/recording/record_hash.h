// The hash that tells an unchanged answer from its records without keeping
// the records at hand: XXH3, 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

// The two builds behind it (AVX2 only on x86-64 builds).
extern "C" std::uint64_t kvx_xxh3_sse2(const void* data, std::size_t size);
extern "C" std::uint64_t kvx_xxh3_avx2(const void* data, std::size_t size);

namespace kvx::recording {

// XXH3 of `size` bytes, with the widest vectors this processor runs.
std::uint64_t xxh3(const void* data, std::size_t size);

}  // namespace kvx::recording
