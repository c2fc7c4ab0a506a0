// The hash that tells an unchanged answer from its records without keeping
// the records at hand: XXH64.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" std::uint64_t kvx_record_hash(const void* data, std::size_t size);
