// What a tick touches every second, kept together on one page of 2 MB.
//
// At 1 Hz a tick finds its memory cold, and on a virtual machine a data page
// touched after a second away now and then costs the host a fault first: on
// one guest measured, about one touch in thirty took 100 to 300 µs, charged
// to the process as its own CPU time. A tick pays that per distinct page it
// touches, so in a recording run the objects every tick works in (the
// flight recorder with all it keeps, the monitor with the records the driver
// fills) live on one page, and the recorder adds none. The kernel is asked
// to back it with a huge page; where it cannot, it is 4 KB pages, as the
// heap is.
#pragma once

#include <cstddef>

namespace kvx::platform {

constexpr std::size_t kHugePage = 2u << 20;
// A page of kHugePage bytes of its own, aligned to its size, the kernel asked
// to back it with a huge page; nullptr when it cannot be mapped.
void* mapHugePage();
void unmapHugePage(void* page);

// `size` bytes, aligned to 64, on the tick page, which the first call maps;
// nullptr when it has no room left.
void* takeFromTickPage(std::size_t size);
// The same, but only where the page is mapped already: the 2 MB it holds in
// memory are worth it to the recorder, not to what would be alone on it.
void* takeFromMappedTickPage(std::size_t size);
// Whether `p` lies on the tick page.
bool onTickPage(const void* p);
// Gives back what either gave; the room is used again once everything
// taken after it has been given back too.
void giveToTickPage(void* p);

}  // namespace kvx::platform
