// The seam between the program and the two metrics server plugins: a
// table of plain functions, so the program maps no server unless a run
// serves metrics. libkvxdiag_metrics.so serves plain HTTP with nothing but
// the C and C++ libraries; libkvxdiag_metrics_tls.so serves what a web
// configuration file asks for (TLS, basic authentication) with the same
// server over OpenSSL, yaml-cpp and libcrypt.
#pragma once

#include <cstddef>

extern "C" {

struct KvxMetricsServerApi {
    // A stopped server; null when it cannot be made.
    void* (*create)(void);
    // Listens on host:port (0: any free port) in a thread of its own, with
    // TLS and basic authentication when `webConfigFile` (null: none; only
    // the TLS plugin takes one) asks for them: the port, or -1 with the
    // reason in `error` (zero-terminated, cut to `errorSize`).
    int (*start)(void* server, const char* host, int port, const char* webConfigFile, char* error,
                 std::size_t errorSize);
    // The text served from now on.
    void (*publish)(void* server, const char* text, std::size_t size);
    // Stops the server if it runs and frees it.
    void (*destroy)(void* server);
    // What a started server serves with: KVX_METRICS_TLS, KVX_METRICS_USERS.
    unsigned (*features)(void* server);
    // The monitor serves a tick's data from now on: /-/ready answers 200.
    void (*ready)(void* server);
};

// Each plugin's one export.
const KvxMetricsServerApi* kvxdiag_metrics_server_api(void);
}

#define KVX_METRICS_PLUGIN_FILE "libkvxdiag_metrics.so"
#define KVX_METRICS_TLS_PLUGIN_FILE "libkvxdiag_metrics_tls.so"
#define KVX_METRICS_PLUGIN_ENTRY "kvxdiag_metrics_server_api"
#define KVX_METRICS_TLS 1u
#define KVX_METRICS_USERS 2u
