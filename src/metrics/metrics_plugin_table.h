// The plain-function table of a metrics plugin (metrics_plugin.h) over its
// server class; `listen` starts that server the way the plugin serves.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "metrics/metrics_plugin.h"

namespace kvx {

template <class Server,
          std::optional<int> (*listen)(Server&, const char* host, int port, const char* webConfigFile, std::string& error)>
struct MetricsPluginTable {
    static void* create() { return new (std::nothrow) Server(); }

    static int start(void* server, const char* host, int port, const char* webConfigFile, char* error,
                     std::size_t errorSize) {
        std::string why;
        const std::optional<int> bound = listen(*static_cast<Server*>(server), host, port, webConfigFile, why);
        if (bound) return *bound;
        if (error && errorSize > 0) {
            const std::size_t n = std::min(why.size(), errorSize - 1);
            std::memcpy(error, why.data(), n);
            error[n] = '\0';
        }
        return -1;
    }

    static void publish(void* server, const char* text, std::size_t size) {
        static_cast<Server*>(server)->publish(std::string(text, size));
    }

    static void destroy(void* server) { delete static_cast<Server*>(server); }

    static unsigned features(void* server) { return static_cast<Server*>(server)->features(); }

    static void ready(void* server) { static_cast<Server*>(server)->markReady(); }

    static constexpr KvxMetricsServerApi api{create, start, publish, destroy, features, ready};
};

}  // namespace kvx
