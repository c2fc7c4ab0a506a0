// Fuzz target: the profile-file service and the settings store on arbitrary
// settings and project files. The input holds the settings file, the project
// file and a list of further reads and writes; the store then runs its start
// reads, its close writes and every read again. A value written must read
// back as written, and no operation may touch a file other than its own.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "display/dialogs.h"
#include "display/display_model.h"
#include "fuzz_input.h"
#include "platform/profile_file.h"
#include "settings/settings_store.h"
#include "settings/settings_values.h"

namespace {

namespace fs = std::filesystem;
using kvx::fuzz::FuzzInput;

class SilentDialogs final : public kvx::Dialogs {
public:
    void message(const std::string&, const std::string&) override { ++messages; }
    std::optional<std::string> openFile(const std::string&, int) override { return std::nullopt; }
    int messages = 0;
};

// One folder per process, on a memory file system where there is one: every
// write is flushed to disk.
fs::path folderName() {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("kvx_profile_fuzz_" + std::to_string(::getpid()));
}

const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = folderName();
        fs::remove_all(d);
        fs::create_directories(d / "config" / "Velmora" / "kcfg");
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(folderName(), ec);
        });
        return d;
    }();
    return dir;
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool plainName(const std::string& s) {
    if (s.empty() || s.front() == ' ' || s.back() == ' ') return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '_') return false;
    return true;
}

std::string trimmed(const std::string& s) {
    const char* blanks = " \t\r\n\v\f";
    auto a = s.find_first_not_of(blanks);
    if (a == std::string::npos) return {};
    auto b = s.find_last_not_of(blanks);
    return s.substr(a, b - a + 1);
}

// What a written value reads back as: line breaks are refused; zero bytes,
// vertical tabs and form feeds are written as the blanks the reader takes
// them for; blanks around the value are dropped and it is cut to the longest
// text a read returns.
std::optional<std::string> readsBackAs(const std::string& written) {
    if (written.find_first_of("\r\n") != std::string::npos) return std::nullopt;
    std::string stored = written;
    for (char& c : stored)
        if (c == '\0' || c == '\v' || c == '\f') c = ' ';
    return trimmed(stored).substr(0, kvx::profile::kMaxTextLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const fs::path dir = folder();
    const fs::path settingsFile = dir / "KvxDiagnostics.INI";
    const fs::path projectFile = dir / "config" / "Velmora" / "KVX2000.INI";
    const fs::path otherFile = dir / "other.txt";

    // Input: settings file, 0xFF, project file, 0xFF, then operations.
    writeFile(settingsFile, input.until(0xFF));
    writeFile(projectFile, input.until(0xFF));
    writeFile(otherFile, "untouched\n");
    const std::string projectBefore = readFile(projectFile);

    kvx::SettingsValues values;
    kvx::DisplayModel model;
    SilentDialogs dialogs;
    kvx::SettingsStore store(values, model, dialogs,
                             kvx::SettingsLocations{settingsFile.string(), dir.string() + "/",
                                                    (dir / "config").string()});
    std::ostringstream errors;
    store.setErrorStream(errors);
    model["cbGetFileNames"].checked = input.flag();

    store.readWebServiceSettings();
    store.readWindowSettings([] {});
    if (values.protocolFileName.size() > kvx::profile::kMaxTextLength) std::abort();
    if (values.selectedCard < 0) std::abort();
    store.loadProjectAccessData(input.flag());

    // What a run may change before the close.
    if (input.flag()) values.bootFileName = input.text();
    if (input.flag()) values.systemFileName = input.text();
    if (input.flag()) values.remoteUrl = input.text();
    const kvx::WriteReport saved = store.saveSettings();

    // Whatever the old file held, a successful close leaves values that read
    // back as they were written.
    if (saved.ok() && values.settingsWritable) {
        const std::string file = settingsFile.string();
        auto same = [&](const char* section, const char* key, const std::string& expected) {
            const auto expectedRead = readsBackAs(expected);
            if (!expectedRead) return;
            std::string got = kvx::profile::readString(file, section, key, "<none>");
            if (got != *expectedRead) {
                std::fprintf(stderr, "[%s] %s: wrote \"%s\", read \"%s\"\n", section, key, expected.c_str(),
                             got.c_str());
                std::abort();
            }
        };
        same("KVX", "BootFileName", values.bootFileName);
        same("KVX", "SystemFileName", values.systemFileName);
        same("PROTOCOL", "FileName", values.protocolFileName);
        same("Project data", "URL", values.remoteUrl);
        same("Project data", "CNC PathX", "/tmp");
    }

    // Further single reads and writes with names and values from the input.
    while (!input.empty()) {
        std::string section = input.text(40);
        std::string key = input.text(40);
        std::string value = input.text();
        if (input.flag()) {
            (void)kvx::profile::readString(settingsFile.string(), section, key, "");
            (void)kvx::profile::readInt(settingsFile.string(), section, key, 0);
            continue;
        }
        auto result = kvx::profile::writeString(settingsFile.string(), section, key, value);
        const auto expectedRead = readsBackAs(value);
        if (result.ok() && plainName(section) && plainName(key) && expectedRead) {
            std::string got = kvx::profile::readString(settingsFile.string(), section, key, "<none>");
            if (got != *expectedRead) {
                std::fprintf(stderr, "[%s] %s: wrote \"%s\", read \"%s\"\n", section.c_str(), key.c_str(),
                             value.c_str(), got.c_str());
                std::abort();
            }
        }
    }

    // The project file is only ever read; nothing else is touched.
    if (readFile(projectFile) != projectBefore) std::abort();
    if (readFile(otherFile) != "untouched\n") std::abort();
    for (const auto& entry : fs::directory_iterator(dir)) {
        const auto name = entry.path().filename().string();
        if (name.find(".tmp-") != std::string::npos) std::abort();  // a temporary file left behind
    }
    return 0;
}
