// The display model as the real poll leaves it after a tick on a shipped
// scenario of the simulator, changed first by kvxsimctl commands: the texts
// the window must place for every board type and axis count.
#pragma once

#include <string>
#include <vector>

#include "display/display_model.h"

namespace kvx::test {

// The model after the start and one more tick in super-user mode on
// `scenario` (a file of scenarios/); an empty `error` when it worked.
DisplayModel scenarioBoard(const std::string& scenario, const std::vector<std::string>& commands,
                           std::string& error);

}  // namespace kvx::test
