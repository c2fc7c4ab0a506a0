// Starts kvxsim as a real process for a test and stops it again: a temporary
// socket path, HTTP on a free loopback port, nothing left behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvxsim::test {

std::string binDir();
std::string scenarioDir();

// A fresh temporary folder, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv);

class DaemonProcess {
public:
    // Starts kvxsim on `scenario` and waits until it listens. `httpPort` 0
    // picks a free port; `extraArgs` go to kvxsim as they stand.
    DaemonProcess(const std::string& scenario, const std::string& socketPath, int httpPort = 0,
                  const std::vector<std::string>& extraArgs = {});
    ~DaemonProcess();

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::string& socketPath() const { return socketPath_; }

    // Sends `signal` and waits for the process; returns its exit status as
    // waitpid reports it.
    int stop(int signal);
    // kvxsimctl against this daemon.
    ProcessResult control(const std::vector<std::string>& words) const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string socketPath_;
    std::string portFile_;
};

}  // namespace kvxsim::test
