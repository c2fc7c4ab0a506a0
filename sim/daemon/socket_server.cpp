#include "daemon/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/line_channel.h"

namespace kvxsim {

SocketServer::~SocketServer() { stop(); }

void SocketServer::start(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path longer than " + std::to_string(sizeof addr.sun_path - 1) +
                                 " characters: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    if (int probe = connectUnix(path); probe >= 0) {
        ::close(probe);
        throw std::runtime_error("another simulator already listens on " + path);
    }
    // Only the stale socket of a daemon that died is replaced; any other file
    // at the path is someone's data.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path + " exists and is no socket; it is left alone");
        ::unlink(path.c_str());
    }

    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        std::string reason = std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        throw std::runtime_error("cannot listen on " + path + ": " + reason);
    }
    path_ = path;
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void SocketServer::stop() {
    if (listenFd_ < 0) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : clientFds_) ::shutdown(fd, SHUT_RDWR);
    }
    char byte = 0;
    (void)!::write(wakePipe_[1], &byte, 1);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(clientThreads_);
    }
    for (auto& t : threads) t.join();
    ::close(listenFd_);
    listenFd_ = -1;
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    ::unlink(path_.c_str());
}

void SocketServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        reapFinished();
        clientFds_.push_back(fd);
        clientThreads_.emplace_back([this, fd] { serve(fd); });
    }
}

void SocketServer::serve(int fd) {
    std::string pending, line;
    while (readLine(fd, pending, line)) {
        if (!writeLine(fd, handler_(line))) break;
    }
    std::lock_guard lock(mutex_);
    clientFds_.erase(std::remove(clientFds_.begin(), clientFds_.end(), fd), clientFds_.end());
    ::close(fd);
    finished_.push_back(std::this_thread::get_id());
}

void SocketServer::reapFinished() {
    for (auto id : finished_) {
        auto it = std::find_if(clientThreads_.begin(), clientThreads_.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it == clientThreads_.end()) continue;
        it->join();  // the thread has left serve(); only its exit remains
        clientThreads_.erase(it);
    }
    finished_.clear();
}

}  // namespace kvxsim
