// The per-user configuration shared by the Velmora tool family: the file
// <config>/Velmora/kcfg/ENVIRONMENT.ini whose key "ProjectFileName" in
// section [ENVIRONMENT] names the controller's project file, and the folder
// <config>/Velmora where a project file named without a folder lies.
// <config> is $XDG_CONFIG_HOME, else ~/.config.
#pragma once

#include <string>

namespace kvx {

class UserConfig {
public:
    // `configRoot` stands for the user's configuration folder ("~/.config").
    explicit UserConfig(std::string configRoot);
    // $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (the
    // password database's home when HOME is unset).
    static UserConfig forCurrentUser();

    static constexpr const char* kDefaultProjectFileName = "KVX2000.INI";

    const std::string& root() const { return root_; }
    std::string toolFolder() const;       // <config>/Velmora/
    std::string environmentFile() const;  // <config>/Velmora/kcfg/ENVIRONMENT.ini

    // Opens the tool family's configuration: creates <config>/Velmora/kcfg
    // when it is missing (never the file), then reads "ProjectFileName";
    // kDefaultProjectFileName when the file or the key is absent.
    std::string projectFileName() const;

    // Where the project file `name` lies: a name without a folder in
    // toolFolder(), any other name as it stands.
    std::string projectFilePath(const std::string& name) const;

private:
    std::string root_;
};

}  // namespace kvx
