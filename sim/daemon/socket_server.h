// The daemon's unix-domain socket: it plays the card's kernel driver for the
// local library and carries the control command's requests.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvxsim {

class SocketServer {
public:
    // Turns one request line into one answer line.
    using Handler = std::function<std::string(const std::string&)>;

    explicit SocketServer(Handler handler) : handler_(std::move(handler)) {}
    ~SocketServer();

    // Binds and listens; a stale socket file left by a dead daemon is
    // replaced, a live one is not. Throws std::runtime_error with the reason.
    void start(const std::string& path);
    // Stops accepting, ends every connection and removes the socket file.
    void stop();

private:
    void acceptLoop();
    void serve(int fd);
    void reapFinished();  // with mutex_ held

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<int> clientFds_;
    // Connections whose thread has ended; joined at the next accept, so a
    // long run of short control connections does not pile up threads.
    std::vector<std::thread::id> finished_;
    std::vector<std::thread> clientThreads_;
    bool stopping_ = false;
};

}  // namespace kvxsim
