// The seam between the program and the window plugin (libkvxdiag_window.so):
// one plain function, so a headless run never maps the window's toolkit.
#pragma once

extern "C" {

// Runs the monitor with its window until the window closes; the process
// exit code. `arguments` are the program arguments it passes on to the
// monitor ("/SU" and the like), `count` of them.
int kvxdiag_run_window(int* argc, char** argv, const char* const* arguments, int count);
}

#define KVX_WINDOW_PLUGIN_FILE "libkvxdiag_window.so"
#define KVX_WINDOW_PLUGIN_ENTRY "kvxdiag_run_window"
