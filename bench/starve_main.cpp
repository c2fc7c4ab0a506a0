// kvx_starve: one starvation attack on a running metrics endpoint, with the
// scrapes that measure it (scripts/bench.sh runs the whole table).
//   kvx_starve --port N [--tls] [--user NAME:PASSWORD] [--attack reconnect|slow-readers|wrong-passwords|none]
//              [--connections N] [--scrapes N] [--interval-ms N] [--pid PID]
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "starvation.h"

int main(int argc, char** argv) {
    using namespace kvx::starvation;
    Setup s;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--tls") {
            s.tls = true;
            continue;
        }
        if (!value) {
            std::cerr << "kvx_starve: " << a << " needs a value\n";
            return 2;
        }
        ++i;
        if (a == "--port") s.port = std::atoi(value);
        else if (a == "--connections") s.connections = std::atoi(value);
        else if (a == "--scrapes") s.scrapes = std::atoi(value);
        else if (a == "--interval-ms") s.intervalMs = std::atoi(value);
        else if (a == "--pid") s.pid = std::atoi(value);
        else if (a == "--user" && std::strchr(value, ':')) {
            s.user = std::string(value, std::strchr(value, ':'));
            s.password = std::strchr(value, ':') + 1;
        } else if (a == "--attack") {
            bool known = false;
            for (Attack attack : {Attack::None, Attack::Reconnect, Attack::SlowReaders, Attack::WrongPasswords})
                if (a.size() && nameOf(attack) == std::string(value)) s.attack = attack, known = true;
            if (!known) {
                std::cerr << "kvx_starve: unknown attack " << value << "\n";
                return 2;
            }
        } else {
            std::cerr << "kvx_starve: unknown option " << a << "\n";
            return 2;
        }
    }
    if (s.port <= 0) {
        std::cerr << "kvx_starve: --port is needed\n";
        return 2;
    }
    std::cout << describe(s, run(s)) << std::endl;
}
