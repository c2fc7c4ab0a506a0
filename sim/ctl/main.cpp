// kvxsimctl: changes a running simulator (faults, counters, restarts,
// offline/online) and shows its state, over its unix socket or, for one
// controller of a fleet, over its web services (--url).
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/line_channel.h"
#include "common/socket_path.h"
#include "lib/transport.h"
#include "model/control.h"
#include "platform/build_info.h"

namespace {

const char* kUsage = "usage: kvxsimctl [--socket PATH | --url http://127.0.0.1:PORT/cN] COMMAND...\n"
                     "       kvxsimctl --version\n";

// The answer of the controller at `url`, or nothing with `error` set. It
// goes through the remote driver library's own client, with its deadline
// for the whole exchange.
std::optional<std::string> callOverHttp(const std::string& url, const nlohmann::json& request, std::string& error) {
    static const std::regex form(R"(^(http://[A-Za-z0-9.\-]+(:[0-9]{1,5})?)(/[^\s?#]*)?$)");
    std::smatch m;
    const std::unique_ptr<kvxsim::Transport> transport =
        std::regex_match(url, m, form) ? kvxsim::makeHttpTransport(url) : nullptr;
    if (!transport) {
        error = "--url needs http://HOST:PORT[/PATH], not \"" + url + "\"";
        return std::nullopt;
    }
    std::string prefix = m[3].str();
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    const std::optional<nlohmann::json> answer = transport->call(request, error);
    if (answer) return answer->dump();
    if (error.ends_with("HTTP 404")) {
        // A fleet answers for its controllers c1 ... cN only.
        error = "the simulator at " + m[1].str() + " has no controller at " + (prefix.empty() ? "/" : prefix);
    } else {
        error = "the simulator at " + url + " did not answer (" + error + ")";
    }
    return std::nullopt;
}

}  // namespace

int run(int argc, char** argv);

// An error that escapes the run ends it with a message and exit code 1, not an abort.
int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "kvxsimctl: " << e.what() << '\n';
        return 1;
    }
}

int run(int argc, char** argv) {
    std::string socketPath;
    std::string url;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (words.empty() && a == "--socket") {
            if (i + 1 >= argc) {
                std::cerr << "kvxsimctl: --socket needs a path\n";
                return 2;
            }
            socketPath = argv[++i];
        } else if (words.empty() && a == "--url") {
            if (i + 1 >= argc) {
                std::cerr << "kvxsimctl: --url needs an address\n";
                return 2;
            }
            url = argv[++i];
        } else if (words.empty() && a == "--version") {
            std::cout << "kvxsimctl " << kvx::buildVersion() << " (revision " << kvx::buildRevision() << ")\n";
            return 0;
        } else if (words.empty() && (a == "--help" || a == "-h" || a == "help")) {
            std::cout << kUsage << kvxsim::controlCommandHelp();
            return 0;
        } else if (words.empty() && a.starts_with("--")) {
            // A misspelt option would otherwise go to the simulator as a command.
            std::cerr << "kvxsimctl: unknown option " << a << " (--help lists the options)\n";
            return 2;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) {
        std::cerr << kUsage << kvxsim::controlCommandHelp();
        return 2;
    }
    nlohmann::json request{{"op", "control"}, {"words", words}};
    std::string line;
    if (!url.empty()) {
        std::string error;
        const std::optional<std::string> body = callOverHttp(url, request, error);
        if (!body) {
            std::cerr << "kvxsimctl: " << error << '\n';
            return 3;
        }
        line = *body;
    } else {
        std::string path = kvxsim::resolveSocketPath(socketPath);
        int fd = kvxsim::connectUnix(path);
        if (fd < 0) {
            std::cerr << "kvxsimctl: no simulator listens on " << path << '\n';
            return 3;
        }
        std::string pending;
        bool ok = kvxsim::writeLine(fd, request.dump()) && kvxsim::readLine(fd, pending, line);
        ::close(fd);
        if (!ok) {
            std::cerr << "kvxsimctl: the simulator on " << path << " did not answer\n";
            return 3;
        }
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
