#include "platform/writable_location.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

namespace kvx {

namespace {

// From linux/magic.h.
constexpr unsigned long kIso9660Magic = 0x9660;
constexpr unsigned long kUdfMagic = 0x15013346;

std::string folderOf(const std::string& filePath) {
    auto slash = filePath.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : filePath.substr(0, slash);
}

}  // namespace

bool fileSystemTakesWrites(unsigned long fileSystemType, unsigned long mountFlags) {
    if (fileSystemType == kIso9660Magic || fileSystemType == kUdfMagic) return false;
    return (mountFlags & ST_RDONLY) == 0;
}

bool isWritableLocation(const std::string& filePath) {
    std::string folder = folderOf(filePath);
    struct statfs fs {};
    struct statvfs vfs {};
    if (::statfs(folder.c_str(), &fs) != 0 || ::statvfs(folder.c_str(), &vfs) != 0) return false;
    return fileSystemTakesWrites(static_cast<unsigned long>(fs.f_type), vfs.f_flag);
}

}  // namespace kvx
