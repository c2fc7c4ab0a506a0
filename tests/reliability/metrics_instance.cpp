#include "metrics_instance.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace kvx::test {

MetricsInstance::MetricsInstance(const kvxsim::test::TempDir& dir, const MetricsInstanceOptions& options) : dir_(dir) {
    daemon_ = std::make_unique<kvxsim::test::DaemonProcess>(kvxsim::test::scenarioDir() + "/kvx2000.scn",
                                                            dir.file("kvxsim.sock"));
    std::filesystem::copy_file(KVX_PROGRAM, dir.file("KvxDiagnostics"));
    for (const char* plugin : {"libkvxdiag_metrics.so", "libkvxdiag_metrics_tls.so"})
        std::filesystem::copy_file(kvxsim::test::binDir() + "/" + plugin, dir.file(plugin));
    std::ofstream(dir.file("KvxDiagnostics.INI")) << "[PROTOCOL]\nFileName=" << dir.file("DiagProtocol.txt") << "\n";
    std::ofstream web(dir.file("web.yml"));
    if (options.tls)
        web << "tls_server_config:\n  cert_file: " << kTlsDir << "/server.crt\n  key_file: " << kTlsDir << "/server.key\n";
    if (!options.usersHash.empty()) web << "basic_auth_users:\n  prometheus: " << options.usersHash << "\n";
    web.close();
    const bool webConfig = options.tls || !options.usersHash.empty();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Not left running when the test binary dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        rlimit files{1024, 1024};
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::setenv("KVXSIM_SOCKET", dir.file("kvxsim.sock").c_str(), 1);
        ::setenv("KVXDLLNAME", (kvxsim::test::binDir() + "/kvxg3.dll").c_str(), 1);
        if (!std::freopen(dir.file("out").c_str(), "w", stdout) || !std::freopen(dir.file("err").c_str(), "w", stderr))
            ::_exit(127);
        const std::string program = dir.file("KvxDiagnostics");
        const std::string file = dir.file("web.yml");
        ::execl(program.c_str(), program.c_str(), "--console", "--interval-ms", "100", "--metrics-port", "0",
                webConfig ? "--web-config-file" : nullptr, file.c_str(), nullptr);
        ::_exit(127);
    }
    const std::regex announced("metrics on (https?://)?127\\.0\\.0\\.1:([0-9]+)/metrics");
    std::smatch m;
    for (int i = 0; i < 500 && port_ == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string text = err();
        if (std::regex_search(text, m, announced)) port_ = std::stoi(m[2].str());
    }
}

MetricsInstance::~MetricsInstance() { stop(); }

int MetricsInstance::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

std::string MetricsInstance::err() const {
    std::ostringstream s;
    s << std::ifstream(dir_.file("err")).rdbuf();
    return s.str();
}

}  // namespace kvx::test
