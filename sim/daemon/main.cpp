// kvxsim: simulates controller cards for the monitor and its driver
// libraries. Serves a unix-domain socket (the card's kernel driver) and an
// HTTP endpoint on 127.0.0.1 (the controller's web services). With
// --controllers N it simulates a fleet: N independent controllers, each with
// its web services under its own path (/c1 ... /cN), taking the scenarios
// given in turn.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "common/socket_path.h"
#include "metrics/http_server.h"
#include "daemon/socket_server.h"
#include "driver/kvxg3_api.h"
#include "model/control.h"
#include "daemon/recording_feed.h"
#include "model/scenario.h"
#include "model/simulator.h"
#include "platform/build_info.h"
#include "platform/safe_file.h"

namespace {

using nlohmann::json;

struct Options {
    std::vector<std::string> scenarios;
    std::string replay;
    std::string socketPath;
    int httpPort = 0;
    bool httpEnabled = true;
    std::string portFile;
    int latencyMs = 0;
    bool snapshots = true;
    bool quiet = false;
    int controllers = 0;  // 0: one controller, served at the root
};

const char* kUsage =
    "usage: kvxsim (--scenario FILE | --replay FILE) [--socket PATH] [--http-port N | --no-http]\n"
    "              [--port-file FILE] [--latency-ms L] [--no-snapshots] [--quiet] [--controllers N]\n"
    "  --scenario FILE   cards and timeline to simulate; with --controllers it may be given\n"
    "                    again: c1 takes the first, c2 the second, ..., then the first again\n"
    "  --replay FILE     instead of a scenario: the controller of a KvxDiagnostics recording, at its pace\n"
    "  --socket PATH     unix socket (default: $KVXSIM_SOCKET, else /tmp/kvxsim-<uid>.sock)\n"
    "  --http-port N     web-services port on 127.0.0.1; 0 picks a free one (default 0)\n"
    "  --no-http         serve the unix socket only\n"
    "  --port-file FILE  write the web-services port there once it listens\n"
    "  --latency-ms L    delay every driver answer by L milliseconds\n"
    "  --no-snapshots    answer the libraries operation by operation, as a controller\n"
    "                    without snapshots would (the reference a benchmark compares with)\n"
    "  --quiet           do not log timeline changes\n"
    "  --controllers N   N controllers from the scenarios, each on its own: web services under\n"
    "                    http://127.0.0.1:PORT/c1 ... /cN (the unix socket and the root serve c1)\n"
    "  --check           only load the scenario and report whether it is valid\n"
    "  --version         the version and the commit it was built from\n";

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "kvxsim: " << message << '\n' << kUsage;
    std::exit(2);
}

int number(const std::string& option, const char* text, int min, int max) {
    try {
        return static_cast<int>(kvxsim::parseInteger(text, min, max));
    } catch (const std::invalid_argument& e) {
        usageError(option + " \"" + text + "\": " + e.what());
    }
}

// Answers one request of either transport; a driver request waits for the
// configured latency first, a control request never does.
class RequestRouter {
public:
    RequestRouter(kvxsim::Simulator& sim, int latencyMs, bool snapshots)
        : sim_(sim), latencyMs_(latencyMs), snapshots_(snapshots) {}

    json route(const json& request) {
        if (!request.is_object() || !request.contains("op") || !request["op"].is_string())
            return json{{"rc", KVX_E_PROTOCOL}, {"error", "request without \"op\""}};
        if (request["op"] == "control") {
            std::vector<std::string> words;
            try {
                words = request.at("words").get<std::vector<std::string>>();
            } catch (const json::exception&) {
                return json{{"ok", false}, {"error", "control request without \"words\""}};
            }
            return sim_.handleControl(words);
        }
        if (latencyMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(latencyMs_));
        ++driverRequests_;
        if (!snapshots_) {
            if (request["op"] == "snapshot") return json{{"rc", KVX_E_NOT_SUPPORTED}};
            if (request.contains("snapshot")) {
                json plain = request;
                plain.erase("snapshot");
                return sim_.handleDriverRequest(plain);
            }
        }
        return sim_.handleDriverRequest(request);
    }

    // Driver requests answered so far, over both transports.
    unsigned long long driverRequests() const { return driverRequests_; }

    std::string routeLine(const std::string& line) {
        json request = json::parse(line, nullptr, false);
        if (request.is_discarded()) return json{{"rc", KVX_E_PROTOCOL}, {"error", "not JSON"}}.dump();
        return onTheWire(route(request));
    }

    // An answer as it goes out. One with a snapshot in the compact form
    // carries it after its JSON object, behind a tab (which compact JSON
    // never holds), so a library reads it without parsing it as JSON text.
    static std::string onTheWire(json reply) {
        auto flat = reply.find("flat");
        if (flat == reply.end() || !flat->is_string()) return reply.dump();
        std::string compact = std::move(flat->get_ref<std::string&>());
        reply.erase("flat");
        return reply.dump() + '\t' + compact;
    }

private:
    kvxsim::Simulator& sim_;
    int latencyMs_;
    bool snapshots_;
    std::atomic<unsigned long long> driverRequests_{0};
};

kvx::net::Response answerOverHttp(RequestRouter& router, const std::string& body) {
    json request = json::parse(body, nullptr, false);
    json reply =
        request.is_discarded() ? json{{"rc", KVX_E_PROTOCOL}, {"error", "not JSON"}} : router.route(request);
    // The compact form is offered only to a request that asks for it; its
    // content type says which form the answer is.
    const bool compact = reply.contains("flat");
    return {200, compact ? "application/x-kvx-snapshot" : "application/json", RequestRouter::onTheWire(std::move(reply)), {}};
}

// The controller a fleet path names (/c17/... is 17, up to five digits) and
// the rest of the path; 0 when there is none such.
std::pair<std::size_t, std::string> fleetMember(const std::string& path, std::size_t controllers) {
    std::size_t digits = 0;
    while (2 + digits < path.size() && digits < 6 && std::isdigit(static_cast<unsigned char>(path[2 + digits]))) ++digits;
    if (!path.starts_with("/c") || digits == 0 || digits > 5) return {0, ""};
    const unsigned long n = std::strtoul(path.substr(2, digits).c_str(), nullptr, 10);
    if (n < 1 || n > controllers) return {0, ""};
    return {n, path.substr(2 + digits)};
}

// Each connection a fleet's monitor keeps open is a descriptor, and a
// service starts with 1,024 at most unless its unit says otherwise: a
// thousand controllers need more. Raises the soft limit towards `wanted` as
// far as the hard limit allows and returns the limit then in force.
rlim_t raiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    if (limit.rlim_cur < wanted) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
    }
    return limit.rlim_cur;
}

// Why `path` cannot take the port file: something other than a regular file
// is there, which the rename below would replace (a device, as root) or
// never reach (a folder). Empty when it may.
std::string portFileKindProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
    return S_ISDIR(st.st_mode) ? "is a folder" : "is not a regular file";
}

// Writes the port under another name and renames it, so a reader never sees
// half a number. False with `error` set when any step fails.
bool writePortFile(const std::string& path, int port, std::string& error) {
    const std::string tmp = path + ".tmp";
    const std::string text = std::to_string(port) + "\n";
    const int fd = kvx::platform::openForWriting(tmp, kvx::platform::WriteMode::Replace, 0644, error);
    if (fd < 0) {
        error = tmp + ": " + error;
        return false;
    }
    const bool written = kvx::platform::writeAll(fd, text.data(), text.size());
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        error = tmp + ": " + std::strerror(written ? errno : writeErrno);
    } else if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
    } else {
        return true;
    }
    ::unlink(tmp.c_str());
    return false;
}

}  // namespace

int run(int argc, char** argv);

// An error that escapes the run ends it with a message and exit code 1, not an abort.
int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "kvxsim: " << e.what() << '\n';
        return 1;
    }
}

int run(int argc, char** argv) {
    Options opt;
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--scenario") opt.scenarios.emplace_back(value());
        else if (a == "--replay") opt.replay = value();
        else if (a == "--socket") opt.socketPath = value();
        else if (a == "--http-port") opt.httpPort = number(a, value(), 0, 65535);
        else if (a == "--no-http") opt.httpEnabled = false;
        else if (a == "--port-file") opt.portFile = value();
        else if (a == "--latency-ms") opt.latencyMs = number(a, value(), 0, 60000);
        else if (a == "--no-snapshots") opt.snapshots = false;
        else if (a == "--quiet") opt.quiet = true;
        else if (a == "--controllers") opt.controllers = number(a, value(), 1, 10000);
        else if (a == "--check") checkOnly = true;
        else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--version") {
            std::cout << "kvxsim " << kvx::buildVersion() << " (revision " << kvx::buildRevision() << ")\n";
            return 0;
        } else usageError("unknown option " + a);
    }
    if (opt.scenarios.empty() == opt.replay.empty()) usageError("either --scenario or --replay is required");
    if (opt.scenarios.size() > 1 && opt.controllers == 0 && !checkOnly) usageError("several scenarios need --controllers");
    if (const std::string problem = portFileKindProblem(opt.portFile); !opt.portFile.empty() && !problem.empty())
        usageError("--port-file " + opt.portFile + " " + problem);

    // One scenario per --scenario (a replay plays one card); controller i of
    // a fleet takes scenarios[i % count].
    std::vector<kvxsim::Scenario> scenarios;
    kvxsim::RecordingFeed feed;
    try {
        if (!opt.replay.empty()) {
            std::string error;
            if (!feed.open(opt.replay, error)) {
                std::cerr << "kvxsim: " << error << '\n';
                return 2;
            }
            scenarios.emplace_back().cards.emplace_back();  // the recorded card, set by every recorded tick
        } else {
            for (const std::string& file : opt.scenarios) scenarios.push_back(kvxsim::loadScenarioFile(file));
        }
    } catch (const kvxsim::ScenarioError& e) {
        std::cerr << "kvxsim: " << e.what() << '\n';
        return 2;
    }
    if (checkOnly) {
        for (std::size_t i = 0; i < opt.scenarios.size(); ++i)
            std::cout << opt.scenarios[i] << ": " << scenarios[i].cards.size() << " card(s), "
                      << scenarios[i].timeline.size() << " timeline entries\n";
        return 0;
    }

    // Every thread inherits this mask, so only sigwait below sees the stop
    // signals; a peer that hangs up must not kill the daemon.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Each controller of a fleet has a state of its own; the first is the one
    // a single-controller run has.
    std::vector<std::unique_ptr<kvxsim::Simulator>> sims;
    std::vector<std::unique_ptr<RequestRouter>> routers;
    for (int i = 0; i < std::max(1, opt.controllers); ++i) {
        sims.push_back(std::make_unique<kvxsim::Simulator>(scenarios[static_cast<std::size_t>(i) % scenarios.size()]));
        routers.push_back(std::make_unique<RequestRouter>(*sims.back(), opt.latencyMs, opt.snapshots));
    }
    kvxsim::Simulator& sim = *sims.front();
    RequestRouter& router = *routers.front();

    std::string socketPath = kvxsim::resolveSocketPath(opt.socketPath);
    kvxsim::SocketServer socketServer([&](const std::string& line) { return router.routeLine(line); });
    try {
        socketServer.start(socketPath);
    } catch (const std::exception& e) {
        std::cerr << "kvxsim: " << e.what() << '\n';
        return 1;
    }

    // A driver request is a line of JSON: a small head, a small body, and
    // connections enough for every controller's monitor (each keeps one open
    // between ticks). More are refused, so no client can take the daemon's
    // memory or descriptors.
    // A monitor that reconnects may hold its old connection a moment longer,
    // hence two per controller. Descriptors the daemon needs besides: its
    // sockets, the local library's clients, standard streams.
    std::size_t maxConnections = opt.controllers > 0 ? 8 + static_cast<std::size_t>(opt.controllers) * 2 : 64;
    constexpr std::size_t kOtherDescriptors = 64;
    const rlim_t descriptors = raiseDescriptorLimit(maxConnections + kOtherDescriptors);
    if (descriptors < maxConnections + kOtherDescriptors) {
        // Refused with an answer beats left waiting in the queue for a descriptor.
        const std::size_t possible = descriptors > 2 * kOtherDescriptors ? descriptors - kOtherDescriptors : kOtherDescriptors;
        std::cerr << "kvxsim: the descriptor limit (" << descriptors << ") allows " << possible << " of "
                  << maxConnections << " web-services connections; raise it to "
                  << maxConnections + kOtherDescriptors << " (ulimit -n, LimitNOFILE=)" << std::endl;
        maxConnections = possible;
    }
    // A driver library keeps one connection for as long as its handle is
    // open (a tick a second stays well inside the idle timeout). Every
    // connection may wait on a simulated latency at once.
    const kvx::net::ServerLimits httpLimits{.maxConnections = maxConnections,
                                            .maxHeadBytes = 16 * 1024,
                                            .maxHeaderLines = 64,
                                            .maxBodyBytes = 64 * 1024,
                                            .headDeadline = std::chrono::seconds(5),
                                            .requestDeadline = std::chrono::seconds(10),
                                            .handshakeDeadline = std::chrono::seconds(3),
                                            .idleTimeout = std::chrono::seconds(5),
                                            .maxWorkers = maxConnections};
    auto text = [](std::string body) { return kvx::net::Response{200, "text/plain", std::move(body), {}}; };
    kvx::net::HttpServer http(httpLimits, [&](const kvx::net::Request& req) {
        const bool post = req.method == "POST", get = req.method == "GET";
        if (post && req.path == "/kvxg3/v1/call") return answerOverHttp(router, req.body);
        if (get && req.path == "/kvxg3/v1/state") return text(sim.handleControl({"state"}).value("text", ""));
        // How many driver requests the daemon answered: what a benchmark
        // divides by the ticks to get the round trips per tick.
        if (get && req.path == "/kvxg3/v1/requests") return text(std::to_string(router.driverRequests()) + "\n");
        // A fleet: the number in the path picks the controller.
        const auto [n, rest] = fleetMember(req.path, opt.controllers > 0 ? sims.size() : 0);
        if (n && post && rest == "/kvxg3/v1/call") return answerOverHttp(*routers[n - 1], req.body);
        if (n && get && rest == "/kvxg3/v1/state") return text(sims[n - 1]->handleControl({"state"}).value("text", ""));
        return kvx::net::Response{404, "", "", {}};
    });
    int port = 0;
    if (opt.httpEnabled) {
        std::string error;
        const std::optional<int> bound = http.start("127.0.0.1", opt.httpPort, error);
        if (!bound) {
            std::cerr << "kvxsim: cannot listen on 127.0.0.1:" << opt.httpPort << '\n';
            socketServer.stop();
            return 1;
        }
        port = *bound;
    }

    // Whoever waits for the port file would wait for ever: no port file, no run.
    if (std::string error; !opt.portFile.empty() && !writePortFile(opt.portFile, port, error)) {
        std::cerr << "kvxsim: cannot write the port file " << opt.portFile << ": " << error << '\n';
        http.stop();
        socketServer.stop();
        return 1;
    }
    std::cout << "kvxsim: " << sim.cardCount() << " card(s) on " << socketPath;
    if (opt.httpEnabled) std::cout << " and http://127.0.0.1:" << port;
    if (opt.controllers > 0 && opt.httpEnabled)
        std::cout << ", " << sims.size() << " controllers under http://127.0.0.1:" << port << "/c1 ... /c" << sims.size();
    std::cout << std::endl;

    std::mutex timelineMutex;
    std::condition_variable timelineWake;
    bool stopping = false;
    auto start = kvxsim::SteadyClock::now();
    std::thread timeline([&] {
        std::unique_lock lock(timelineMutex);
        for (;;) {
            double next = -1;
            for (const auto& member : sims) {
                const double due = member->nextTimelineDue();
                if (due >= 0 && (next < 0 || due < next)) next = due;
            }
            if (next < 0) {
                timelineWake.wait(lock, [&] { return stopping; });
            } else {
                auto due = start + std::chrono::duration_cast<kvxsim::SteadyClock::duration>(
                                       std::chrono::duration<double>(next));
                timelineWake.wait_until(lock, due, [&] { return stopping; });
            }
            if (stopping) return;
            double elapsed = std::chrono::duration<double>(kvxsim::SteadyClock::now() - start).count();
            for (std::size_t i = 0; i < sims.size(); ++i)
                for (const auto& line : sims[i]->runTimeline(elapsed)) {
                    if (opt.quiet) continue;
                    std::cout << "kvxsim: timeline ";
                    if (opt.controllers > 0) std::cout << 'c' << i + 1 << ": ";
                    std::cout << line << std::endl;
                }
        }
    });

    // A recording plays its ticks at their recorded times, once.
    std::thread player;
    if (!opt.replay.empty()) {
        player = std::thread([&] {
            std::unique_lock lock(timelineMutex);
            std::int64_t atMs = 0;
            while (feed.next(atMs)) {
                timelineWake.wait_until(lock, start + std::chrono::milliseconds(atMs), [&] { return stopping; });
                if (stopping) return;
                for (auto& controller : sims)
                    controller->updateCard(0, [&](kvxsim::CardState& card, kvxsim::SteadyClock::time_point now) {
                        feed.apply(card, now);
                    });
            }
            if (!opt.quiet)
                std::cout << "kvxsim: end of the recording" << (feed.problem().empty() ? "" : ": " + feed.problem())
                          << std::endl;
        });
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    {
        std::lock_guard lock(timelineMutex);
        stopping = true;
    }
    timelineWake.notify_all();
    timeline.join();
    if (player.joinable()) player.join();
    http.stop();
    socketServer.stop();
    if (!opt.quiet) std::cout << "kvxsim: stopped" << std::endl;
    return 0;
}
