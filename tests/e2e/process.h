// Child processes for the end-to-end tests: spawned with extra environment
// variables in a chosen folder, standard output read line by line with a
// deadline, standard error kept in a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kvx::e2e {

class Process {
public:
    struct Options {
        std::vector<std::string> argv;
        std::map<std::string, std::string> env;  // added to this process's environment
        std::string cwd;
        std::string stderrFile;  // "" = inherit
    };

    explicit Process(const Options& options);
    ~Process();  // kills a child still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The next line of standard output, or nullopt at the deadline or its end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void signal(int sig);
    // Exit code once the child ended (128 + signal when killed), nullopt at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

// Runs a command to its end; returns its exit code and standard output.
struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};
RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(20),
              const std::map<std::string, std::string>& env = {});

}  // namespace kvx::e2e
