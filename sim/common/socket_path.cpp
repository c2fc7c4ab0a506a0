#include "common/socket_path.h"

#include <unistd.h>

#include <cstdlib>

namespace kvxsim {

std::string resolveSocketPath(const std::string& explicitPath) {
    if (!explicitPath.empty()) return explicitPath;
    if (const char* env = std::getenv("KVXSIM_SOCKET"); env && *env) return env;
    return "/tmp/kvxsim-" + std::to_string(::getuid()) + ".sock";
}

}  // namespace kvxsim
