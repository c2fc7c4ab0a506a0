// Ticks through the real driver libraries against the simulator daemon:
// kvxg3.dll over the unix socket, kvxg3X.DLL over loopback HTTP, and the
// remote library over a slow link (the daemon delays every answer by L ms).
// Reports per tick: the time, the round trips (driver requests the daemon
// answered), over a slow link the time in units of L, and for the remote
// library the connections it opened. The in-process tick on the scripted
// controller runs in the same binary for the ratios.
//
// Both libraries answer a tick's reads from a snapshot of the controller
// that comes with the tick's initialisation. The reference they are measured
// against is the naive design, one request per driver operation: the same
// libraries against a daemon started with --no-snapshots.
#include <benchmark/benchmark.h>

#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/engine_rig.h"
#include "daemon_process.h"
#include "driver/driver_library.h"

namespace {

using kvxsim::test::DaemonProcess;
using kvxsim::test::TempDir;

constexpr int kWarmUpTicks = 3;

// One daemon per latency and design, kept for the whole run.
struct Daemons {
    TempDir dir;
    std::map<std::pair<int, bool>, std::unique_ptr<DaemonProcess>> byKind;

    DaemonProcess& at(int latencyMs, bool snapshots = true) {
        auto& d = byKind[{latencyMs, snapshots}];
        if (!d) {
            std::vector<std::string> extra;
            if (latencyMs > 0) extra = {"--latency-ms", std::to_string(latencyMs)};
            if (!snapshots) extra.push_back("--no-snapshots");
            const std::string name = "sim" + std::to_string(latencyMs) + (snapshots ? "" : "n") + ".sock";
            d = std::make_unique<DaemonProcess>(kvxsim::test::scenarioDir() + "/kvx2000.scn", dir.file(name), 0, extra);
            if (!d->running()) throw std::runtime_error("kvxsim did not start");
        }
        return *d;
    }
    ~Daemons() {
        for (auto& [kind, d] : byKind) d->stop(SIGTERM);
    }
};
Daemons& daemons() {
    static Daemons d;
    return d;
}

long requestsAnswered(const DaemonProcess& daemon) {
    httplib::Client client("127.0.0.1", daemon.port());
    auto res = client.Get("/kvxg3/v1/requests");
    return res && res->status == 200 ? std::stol(res->body) : -1;
}

// The TCP connections to `port` that are open now (their socket inodes, from
// /proc/net/tcp): a benchmark collects them after every tick to count the
// connections a library opened.
void collectConnections(int port, std::set<std::string>& inodes) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the heading
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (state == "01" && remote.size() >= 5 && remote.compare(remote.size() - 5, 5, wanted) == 0)
            inodes.insert(inode);
    }
}

// The engine on a real library: the rig's records, summary and model, but
// the driver calls go through the loaded library.
struct LibraryRig {
    LibraryRig(bool remote, DaemonProcess& daemon) : rig(4, 4) {
        ::setenv("KVXSIM_SOCKET", daemon.socketPath().c_str(), 1);
        if (library.loadDriverLibrary("kvxg3.dll", remote, false) != 1)
            throw std::runtime_error("driver library not loaded");
        driver.setRemote(remote);
        if (remote) {
            rig.settings.useWebServices = 1;
            if (driver.KvxG3XOpen(daemon.url(), "KVX.DEV").value_or(-1) != 0)
                throw std::runtime_error("KvxG3XOpen failed");
        } else {
            driver.CardSelect(0);
        }
    }
    ~LibraryRig() { driver.closeConnection(); }

    kvx::bench::EngineRig rig;
    kvx::DriverLibrary library{[](const std::string&) { return std::optional<std::string>(); }};
    kvx::Driver driver{library.table()};
    kvx::PollCycle cycle{kvx::PollContext{driver, rig.records, rig.settings, rig.state, rig.model, rig.summary,
                                          rig.protocol, rig.clock, "KvxDiagnostics"}};
};

void BM_TickInProcess(benchmark::State& s) {
    kvx::bench::EngineRig rig(4, 4);
    for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
    rig.takeCallCount();
    for (auto _ : s) {
        rig.tick();
        rig.takeCallCount();
    }
    s.counters["driver_calls"] = 26;
}
BENCHMARK(BM_TickInProcess)->UseRealTime();

// range(0): 0 local library, 1 remote library; range(1): latency L in ms;
// range(2): 1 the libraries' snapshots, 0 the naive design (one request per
// driver operation) as the reference.
void BM_TickThroughLibrary(benchmark::State& s) {
    const bool remote = s.range(0) == 1;
    const int latency = static_cast<int>(s.range(1));
    const bool snapshots = s.range(2) == 1;
    DaemonProcess& daemon = daemons().at(latency, snapshots);
    LibraryRig lib(remote, daemon);
    for (int i = 0; i < kWarmUpTicks; ++i) lib.cycle.tick();
    if (!lib.rig.state.online) {
        s.SkipWithError("controller not online");
        return;
    }
    const long before = requestsAnswered(daemon);
    std::set<std::string> connections;
    double seconds = 0;
    for (auto _ : s) {
        auto start = std::chrono::steady_clock::now();
        lib.cycle.tick();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (remote) {
            s.PauseTiming();
            collectConnections(daemon.port(), connections);
            s.ResumeTiming();
        }
    }
    const long after = requestsAnswered(daemon);
    const double ticks = static_cast<double>(s.iterations());
    s.counters["round_trips"] = static_cast<double>(after - before) / ticks;
    s.counters["ms_per_tick"] = seconds * 1000.0 / ticks;
    if (latency > 0) s.counters["tick_over_L"] = seconds * 1000.0 / ticks / latency;
    if (remote) s.counters["connections"] = static_cast<double>(connections.size());
    s.counters["faults"] = static_cast<double>(lib.rig.summary.faultCount());
}
BENCHMARK(BM_TickThroughLibrary)
    ->Args({0, 0, 1})
    ->Args({1, 0, 1})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->ArgNames({"remote", "L", "snapshots"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
// Over a slow link, with snapshots and, as the reference, without.
BENCHMARK(BM_TickThroughLibrary)
    ->Args({1, 20, 1})
    ->Args({1, 100, 1})
    ->Args({0, 20, 1})
    ->Args({1, 20, 0})
    ->ArgNames({"remote", "L", "snapshots"})
    ->UseRealTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
