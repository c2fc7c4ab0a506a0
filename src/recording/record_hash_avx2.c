/* The same XXH3 built for AVX2 (this file only: the rest of the program runs
   on any x86-64). A tick hashes some ten kilobytes of records; twice the lanes
   halve that. Chosen at run time where the processor has AVX2. */
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <stdint.h>

__attribute__((hot)) uint64_t kvx_xxh3_avx2(const void* data, size_t size) { return XXH3_64bits(data, size); }
