// The process figures every exporter serves (CPU time, resident and virtual
// memory and its limit, open and allowed descriptors, start time), read from
// /proc when a scrape asks for them, so they are as of the scrape and cost
// nothing between scrapes.
#pragma once

#include <string>

namespace kvx {

// The families as exposition text; each sample carries `labels` (such as
// `controller="c17"`, or empty). A figure that cannot be read is left out.
std::string processMetricsText(const std::string& labels);

}  // namespace kvx
