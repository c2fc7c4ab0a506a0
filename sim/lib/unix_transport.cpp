#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/line_channel.h"
#include "common/socket_path.h"
#include "lib/answer_fields.h"
#include "lib/transport.h"

namespace kvxsim {

namespace {

class UnixSocketTransport : public Transport {
public:
    ~UnixSocketTransport() override { disconnect(); }

    std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) override {
        // A kept connection may belong to a daemon that has gone (and maybe
        // come back): one fresh attempt follows a failure on an old one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool fresh = fd_ < 0;
            if (fresh && !connect(error)) return std::nullopt;
            std::string line;
            if (writeLine(fd_, request.dump()) && readLine(fd_, pending_, line)) {
                auto answer = nlohmann::json::parse(line, nullptr, false);
                if (!answer.is_discarded() && answer.is_object()) return answer;
                disconnect();
                throw answer::MalformedAnswer("malformed answer from the simulator");
            }
            error = "connection to the simulator lost";
            disconnect();
            if (fresh) return std::nullopt;
        }
        return std::nullopt;
    }

    void disconnect() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        pending_.clear();
    }

private:
    bool connect(std::string& error) {
        std::string path = resolveSocketPath();
        fd_ = connectUnix(path);
        if (fd_ < 0) {
            error = "no simulator listens on " + path + ": " + std::strerror(errno);
            return false;
        }
        // A daemon that hangs must not hang the caller for ever.
        timeval limit{30, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        return true;
    }

    int fd_ = -1;
    std::string pending_;
};

}  // namespace

std::unique_ptr<Transport> makeUnixSocketTransport() { return std::make_unique<UnixSocketTransport>(); }

}  // namespace kvxsim
