// Optional features (the window, the metrics server) are shared objects
// beside the program, loaded only when a run uses them: a run that never
// uses one never maps it or the libraries it needs.
#pragma once

#include <string>

namespace kvx {

// Loads the plugin `fileName` from the program's own folder or, for a
// program in a "bin" folder, from the installed library folder beside it
// (../lib/kvxdiagnostics). Null with `error` set (in words for the user)
// when neither holds a loadable one. A loaded plugin stays loaded until the
// program ends.
void* loadPlugin(const std::string& fileName, std::string& error);

// The address of `symbol` in `plugin`; null with `error` set when the
// plugin does not export it.
void* pluginSymbol(void* plugin, const char* symbol, std::string& error);

}  // namespace kvx
