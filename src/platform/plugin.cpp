#include "platform/plugin.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <vector>

#include "platform/log.h"
#include "platform/paths.h"

namespace kvx {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void* loadPlugin(const std::string& fileName, std::string& error) {
    // Beside the program; for a program installed as <prefix>/bin/KvxDiagnostics
    // also <prefix>/lib/kvxdiagnostics, the installed library folder. Never a
    // path of the build: a copy elsewhere would run whatever lies there now.
    std::vector<std::string> folders{executableFolder()};
    const std::string own = executableFolder();
    if (own.size() > 5 && own.compare(own.size() - 5, 5, "/bin/") == 0)
        folders.push_back(own.substr(0, own.size() - 4) + "lib/kvxdiagnostics/");
    for (std::string folder : folders) {
        if (folder.empty()) continue;
        if (folder.back() != '/') folder += '/';
        const std::string path = folder + fileName;
        if (!isFile(path)) continue;
        // Never unloaded: the window's toolkit keeps state past any close.
        if (void* plugin = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
            // Its own copy of the log options starts as the program's.
            using TakeLogOptions = void (*)(int, int);
            if (auto take = reinterpret_cast<TakeLogOptions>(::dlsym(plugin, "kvxdiag_log_options")))
                take(static_cast<int>(logLevel()), static_cast<int>(logFormat()));
            return plugin;
        }
        const char* why = ::dlerror();
        error = path + ": " + (why ? why : "cannot be loaded");
        return nullptr;
    }
    error = fileName + " not found beside the program";
    return nullptr;
}

void* pluginSymbol(void* plugin, const char* symbol, std::string& error) {
    void* address = plugin ? ::dlsym(plugin, symbol) : nullptr;
    if (!address) error = std::string("the plugin lacks ") + symbol;
    return address;
}

}  // namespace kvx
