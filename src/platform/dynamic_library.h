// Loading shared libraries at run time, and finding them.
//
// A name that contains '/' is used as it stands. Any other name is looked up
// in these folders, in this order:
//   1. the running executable's folder,
//   2. the folders of LD_LIBRARY_PATH,
//   3. the system loader's default folders (/etc/ld.so.conf and the files it
//      includes, then /lib and /usr/lib).
// Empty and relative folder entries (".", "lib") are skipped, so the working
// folder is never searched and a library planted there is never loaded. In
// each folder the exact name is taken first; failing that, a case-insensitive
// match in that same folder (kvxg3X.DLL and kvxg3x.dll name one file).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kvx {

// Longest library name accepted; a longer one is a load failure.
constexpr std::size_t kMaxLibraryNameLength = 259;

// The folders searched for a name without '/', in search order, each with a
// trailing '/'. Reads LD_LIBRARY_PATH and the loader configuration each call.
std::vector<std::string> librarySearchFolders();

// The file that loading `name` would open: `name` itself when it contains '/'
// and is a regular file, otherwise the first match of the search; "" when
// there is none, when `name` is empty or longer than kMaxLibraryNameLength.
std::string findLibraryFile(const std::string& name);
// The same search over the given folders (each with or without trailing '/').
std::string findLibraryFile(const std::string& name, const std::vector<std::string>& folders);

// Handle of a loaded library; null when none.
using LibraryHandle = void*;

// Loads the library (RTLD_NOW | RTLD_LOCAL) found by findLibraryFile.
// Null on any failure: name too long, missing, a folder, not a shared object.
LibraryHandle loadLibrary(const std::string& name);
// Address of an exported symbol; null when the handle is null or the symbol
// is not exported.
void* librarySymbol(LibraryHandle handle, const char* symbol);
// Releases a handle returned by loadLibrary; a null handle is ignored.
void freeLibrary(LibraryHandle handle);

}  // namespace kvx
