// The program with its Qt window: the monitor's start-up once the window
// exists, a 1000 ms timer for the ticks, the shutdown when the window closes.
#pragma once

#include <string>
#include <vector>

namespace kvx {

// Returns the process exit code.
int runWindow(int& argc, char** argv, const std::vector<std::string>& arguments);

}  // namespace kvx
