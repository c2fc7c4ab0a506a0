#include "platform/paths.h"

#include <unistd.h>

#include <climits>

namespace kvx {

std::string executablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string executableFolder() {
    std::string p = executablePath();
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

std::string executableFileName() {
    std::string p = executablePath();
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string replaceExtension(const std::string& path, const std::string& extension) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? path.substr(0, dot) : path) + extension;
}

}  // namespace kvx
