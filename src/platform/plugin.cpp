#include "platform/plugin.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <vector>

#include "platform/paths.h"

namespace kvx {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void* loadPlugin(const std::string& fileName, std::string& error) {
    std::vector<std::string> folders{executableFolder()};
#ifdef KVX_PLUGIN_BUILD_DIR
    folders.push_back(KVX_PLUGIN_BUILD_DIR);
#endif
    for (std::string folder : folders) {
        if (folder.empty()) continue;
        if (folder.back() != '/') folder += '/';
        const std::string path = folder + fileName;
        if (!isFile(path)) continue;
        // Never unloaded: the window's toolkit keeps state past any close.
        if (void* plugin = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) return plugin;
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
