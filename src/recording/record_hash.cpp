#include "recording/record_hash.h"

namespace kvx::recording {

namespace {

using HashFn = std::uint64_t (*)(const void*, std::size_t);

HashFn chooseHash() {
#if defined(KVX_XXH3_AVX2)
    if (__builtin_cpu_supports("avx2")) return kvx_xxh3_avx2;
#endif
    return kvx_xxh3_sse2;
}

}  // namespace

[[gnu::hot]] std::uint64_t xxh3(const void* data, std::size_t size) {
    static const HashFn hash = chooseHash();
    return hash(data, size);
}

}  // namespace kvx::recording
