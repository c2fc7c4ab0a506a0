// Where the running program lives.
#pragma once

#include <string>

namespace kvx {

// Full path of the running executable (from /proc/self/exe); empty if unknown.
std::string executablePath();
// Its folder with a trailing '/', or "" if unknown.
std::string executableFolder();
// The file name without folder ("kvxdiag").
std::string executableFileName();
// `path` with its extension, if any, replaced by `extension` (".INI").
std::string replaceExtension(const std::string& path, const std::string& extension);

}  // namespace kvx
