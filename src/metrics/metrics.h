// Fleet metrics: the monitor's state in the Prometheus text exposition
// format, so that an existing Prometheus and its alert rules can watch a
// fleet of controllers. MetricsServer (metrics_server.h) serves the text.
#pragma once

#include <cstdint>
#include <string>

#include "history/run_history.h"

namespace kvx {

// The text for the latest tick of `history`: online state, fault classes,
// per-axis conditions, task errors, link counters, cycle times and band,
// restarts and offline periods. Values that only an online tick has are left
// out while the controller is offline. Every sample carries the label
// controller="<controller>".
std::string prometheusText(const RunHistory& history, const std::string& controller);

// The text while a service's start waits for a controller whose web services
// cannot be reached: kvx_up and kvx_online are 0 (the controller counts as
// offline, as at a tick that cannot reach it), and the attempts so far (0
// while the first one runs).
std::string prometheusStartPendingText(const std::string& controller, long attempts);

// kvx_output_lines_dropped_total{stream="stdout"|"stderr"}: the lines a
// headless run dropped because its standard output or error did not keep up.
std::string outputDroppedText(const std::string& controller, std::uint64_t stdoutLines, std::uint64_t stderrLines);

// "encoder_error", "link_counters", ... as label values.
const char* faultClassKey(std::uint32_t faultClass);

}  // namespace kvx
