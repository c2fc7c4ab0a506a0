#include "daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kvxsim::test {

std::string binDir() { return KVXSIM_BIN_DIR; }
std::string scenarioDir() { return KVXSIM_SCENARIO_DIR; }

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvxsim-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name)) << text;
    return file(name);
}

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv) {
    TempDir dir;
    pid_t pid = spawn(argv, dir.file("out"), dir.file("err"));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProcessResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(dir.file("out"));
    r.err = slurp(dir.file("err"));
    return r;
}

DaemonProcess::DaemonProcess(const std::string& scenario, const std::string& socketPath, int httpPort,
                             const std::vector<std::string>& extraArgs)
    : socketPath_(socketPath), portFile_(socketPath + ".port") {
    ::unlink(portFile_.c_str());
    std::vector<std::string> argv{binDir() + "/kvxsim", "--scenario", scenario, "--socket", socketPath,
                                  "--http-port", std::to_string(httpPort), "--port-file", portFile_, "--quiet"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_ = spawn(argv, socketPath + ".out", socketPath + ".err");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(portFile_);
        if (in >> port_ && port_ > 0) return;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("kvxsim ended at start: " + slurp(socketPath + ".err"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop(SIGKILL);
    throw std::runtime_error("kvxsim did not start listening");
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0) stop(SIGTERM);
}

int DaemonProcess::stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

ProcessResult DaemonProcess::control(const std::vector<std::string>& words) const {
    std::vector<std::string> argv{binDir() + "/kvxsimctl", "--socket", socketPath_};
    argv.insert(argv.end(), words.begin(), words.end());
    return runProcess(argv);
}

}  // namespace kvxsim::test
