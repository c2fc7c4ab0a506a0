// The monitor as a fleet runs it, started for a test against a simulator:
// headless, serving its metrics on a free loopback port, over TLS and with
// basic authentication when asked, with the 1,024 descriptors of a default
// process. Stopped with SIGTERM by the destructor.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "daemon_process.h"

namespace kvx::test {

// The test certificate and key, and the folder they are in.
inline const std::string kTlsDir = KVX_TEST_TLS_DIR;

struct MetricsInstanceOptions {
    bool tls = false;
    std::string usersHash;  // bcrypt hash of user "prometheus"; empty: no users
};

class MetricsInstance {
public:
    MetricsInstance(const kvxsim::test::TempDir& dir, const MetricsInstanceOptions& options);
    ~MetricsInstance();
    MetricsInstance(const MetricsInstance&) = delete;
    MetricsInstance& operator=(const MetricsInstance&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // SIGTERM and the exit status as waitpid reports it.
    int stop();
    std::string err() const;

private:
    const kvxsim::test::TempDir& dir_;
    std::unique_ptr<kvxsim::test::DaemonProcess> daemon_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace kvx::test
