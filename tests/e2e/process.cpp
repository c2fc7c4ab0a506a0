#include "e2e/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kvx::e2e {

using Clock = std::chrono::steady_clock;

Process::Process(const Options& options) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        if (!options.stderrFile.empty()) {
            int err = open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
        }
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        for (const auto& [k, v] : options.env) setenv(k.c_str(), v.c_str(), 1);
        ::signal(SIGHUP, SIG_DFL);  // as from a terminal, even where the test runner ignores it
        std::vector<char*> args;
        for (const auto& a : options.argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());  // a name without a folder is looked up on PATH
        _exit(127);
    }
    close(pipeFds[1]);
    out_ = pipeFds[0];
}

Process::~Process() {
    if (!status_) {
        signal(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    if (out_ >= 0) close(out_);
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[65536];
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;  // the child closed its output
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Process::signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              const std::map<std::string, std::string>& env) {
    char errPath[] = "/tmp/kvx-e2e-err-XXXXXX";
    int fd = mkstemp(errPath);
    if (fd >= 0) close(fd);
    RunResult result{-1, "", ""};
    {
        Process p({argv, env, "", errPath});
        const auto deadline = Clock::now() + timeout;
        while (auto line = p.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())))
            result.out += *line + "\n";
        result.exitCode = p.wait(std::chrono::seconds(5)).value_or(-1);
    }
    std::string err;
    if (FILE* f = std::fopen(errPath, "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) err.append(buf, n);
        std::fclose(f);
    }
    unlink(errPath);
    result.err = err;
    return result;
}

}  // namespace kvx::e2e
