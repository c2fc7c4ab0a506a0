// Whether settings may be written where they lie. Settings on a CD or DVD,
// on a read-only mount or in a folder whose file system cannot be asked are
// never written, silently.
#pragma once

#include <string>

namespace kvx {

// Asks the file system of the folder that holds `filePath` (the file itself
// need not exist): false when that fails, when the file system is ISO 9660 or
// UDF, or when it is mounted read-only; true otherwise.
bool isWritableLocation(const std::string& filePath);

// The decision alone, for a file-system type as statfs reports it and mount
// flags as statvfs reports them.
bool fileSystemTakesWrites(unsigned long fileSystemType, unsigned long mountFlags);

}  // namespace kvx
