// What was built: the program's version and the commit it came from, for
// --version and the metrics' build information.
#pragma once

namespace kvx {

const char* buildVersion();   // "2.5.3"
const char* buildRevision();  // the commit's short hash, "unknown" outside a git checkout

}  // namespace kvx
