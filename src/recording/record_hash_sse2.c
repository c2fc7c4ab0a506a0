/* XXH3 compiled in, for every x86-64 processor. Inline: a call into the
   shared library brings its own pages back into the caches and page tables
   every tick, which at 1 Hz costs more than the call saves. */
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <stdint.h>

__attribute__((hot)) uint64_t kvx_xxh3_sse2(const void* data, size_t size) { return XXH3_64bits(data, size); }
