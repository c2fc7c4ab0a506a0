// Where the simulator daemon listens and where the local driver library and
// the control command look for it: one rule, shared by all three.
#pragma once

#include <string>

namespace kvxsim {

// The explicit path when not empty; else $KVXSIM_SOCKET; else
// /tmp/kvxsim-<uid>.sock.
std::string resolveSocketPath(const std::string& explicitPath = {});

}  // namespace kvxsim
