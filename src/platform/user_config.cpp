#include "platform/user_config.h"

#include "platform/profile_file.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace kvx {

UserConfig::UserConfig(std::string configRoot) : root_(std::move(configRoot)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

UserConfig UserConfig::forCurrentUser() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return UserConfig(xdg);

    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        home = h;
    } else {
        std::vector<char> buf(16384);
        struct passwd pw {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
            home = found->pw_dir;
    }
    return UserConfig(home.empty() ? std::string() : home + "/.config");
}

std::string UserConfig::toolFolder() const { return root_.empty() ? std::string() : root_ + "/Velmora/"; }

std::string UserConfig::environmentFile() const {
    return root_.empty() ? std::string() : toolFolder() + "kcfg/ENVIRONMENT.ini";
}

std::string UserConfig::projectFileName() const {
    if (root_.empty()) return kDefaultProjectFileName;
    std::error_code ignored;  // a folder that cannot be made just means no value
    std::filesystem::create_directories(toolFolder() + "kcfg", ignored);
    return profile::readString(environmentFile(), "ENVIRONMENT", "ProjectFileName", kDefaultProjectFileName);
}

std::string UserConfig::projectFilePath(const std::string& name) const {
    if (name.find('/') != std::string::npos || root_.empty()) return name;
    return toolFolder() + name;
}

}  // namespace kvx
