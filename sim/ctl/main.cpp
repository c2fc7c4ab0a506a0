// kvxsimctl: changes a running simulator (faults, counters, restarts,
// offline/online) and shows its state.
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/line_channel.h"
#include "common/socket_path.h"
#include "model/control.h"

int main(int argc, char** argv) {
    std::string socketPath;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (words.empty() && a == "--socket") {
            if (i + 1 >= argc) {
                std::cerr << "kvxsimctl: --socket needs a path\n";
                return 2;
            }
            socketPath = argv[++i];
        } else if (words.empty() && (a == "--help" || a == "-h" || a == "help")) {
            std::cout << "usage: kvxsimctl [--socket PATH] COMMAND...\n" << kvxsim::controlCommandHelp();
            return 0;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) {
        std::cerr << "usage: kvxsimctl [--socket PATH] COMMAND...\n" << kvxsim::controlCommandHelp();
        return 2;
    }
    std::string path = kvxsim::resolveSocketPath(socketPath);
    int fd = kvxsim::connectUnix(path);
    if (fd < 0) {
        std::cerr << "kvxsimctl: no simulator listens on " << path << '\n';
        return 3;
    }
    nlohmann::json request{{"op", "control"}, {"words", words}};
    std::string pending, line;
    bool ok = kvxsim::writeLine(fd, request.dump()) && kvxsim::readLine(fd, pending, line);
    ::close(fd);
    if (!ok) {
        std::cerr << "kvxsimctl: the simulator on " << path << " did not answer\n";
        return 3;
    }
    auto reply = nlohmann::json::parse(line, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        std::cerr << "kvxsimctl: malformed answer from the simulator\n";
        return 3;
    }
    if (!reply.value("ok", false)) {
        std::cerr << "kvxsimctl: " << reply.value("error", std::string("request refused")) << '\n';
        return 1;
    }
    std::string text = reply.value("text", std::string());
    std::cout << text << (text.empty() || text.back() == '\n' ? "" : "\n");
    return 0;
}
