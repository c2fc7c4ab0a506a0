#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/socket_path.h"
#include "lib/answer_fields.h"
#include "lib/deadline_io.h"
#include "lib/transport.h"

namespace kvxsim {

namespace {

class UnixSocketTransport : public Transport {
public:
    ~UnixSocketTransport() override { disconnect(); }

    std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) override {
        const Deadline deadline = std::chrono::steady_clock::now() + kRequestDeadline;
        // A kept connection may belong to a daemon that has gone (and maybe
        // come back): one fresh attempt follows a failure on an old one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool fresh = fd_ < 0;
            if (fresh && !connect(deadline, error)) return std::nullopt;
            std::string line;
            errno = 0;
            if (sendAllWithin(fd_, request.dump() + '\n', deadline) &&
                readLineWithin(fd_, pending_, line, kAnswerMaxBytes, deadline)) {
                try {
                    return parseAnswer(line);
                } catch (const answer::MalformedAnswer&) {
                    disconnect();
                    throw;
                }
            }
            const int cause = errno;
            error = pending_.size() > kAnswerMaxBytes ? "answer from the simulator too large"
                    : cause == ETIMEDOUT
                        ? "no answer from the simulator within " + std::to_string(kRequestDeadline.count()) + " ms"
                        : "connection to the simulator lost";
            const bool tooLarge = pending_.size() > kAnswerMaxBytes;
            disconnect();
            if (tooLarge) throw answer::MalformedAnswer(error);
            if (fresh || cause == ETIMEDOUT || cause == ECANCELED) return std::nullopt;
        }
        return std::nullopt;
    }

    void disconnect() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        pending_.clear();
    }

private:
    bool connect(Deadline deadline, std::string& error) {
        const std::string path = resolveSocketPath();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) {
            error = "no simulator listens on " + path + ": " + std::strerror(ENAMETOOLONG);
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd_ = connectWithin(reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
        if (fd_ < 0) {
            error = "no simulator listens on " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    int fd_ = -1;
    std::string pending_;
};

}  // namespace

std::unique_ptr<Transport> makeUnixSocketTransport() { return std::make_unique<UnixSocketTransport>(); }

}  // namespace kvxsim
