// The libraries are built with hidden visibility; only the driver entry
// points are exported, with C linkage.
#pragma once

#define KVX_EXPORT extern "C" __attribute__((visibility("default")))
