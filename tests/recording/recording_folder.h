// A temporary folder for one test's recording, removed with it (also when
// an assertion ends the test early).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kvx::recording {

struct RecordingFolder {
    explicit RecordingFolder(const std::string& prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        dir = mkdtemp(pattern.data());
        file = (dir / "run.kvxrec").string();
    }
    ~RecordingFolder() { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
    std::string file;
};

}  // namespace kvx::recording
