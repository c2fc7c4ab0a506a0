// libkvxdiag_window.so: the window front end behind its one-function seam.
#include "app/window_plugin.h"

#include <string>
#include <vector>

#include "app/window_frontend.h"
#include "platform/log.h"

extern "C" __attribute__((visibility("default"))) int kvxdiag_run_window(int* argc, char** argv,
                                                                         const char* const* arguments, int count) {
    const std::vector<std::string> passed(arguments, arguments + count);
    return kvx::runWindow(*argc, argv, passed);
}

KVX_PLUGIN_TAKES_LOG_OPTIONS
