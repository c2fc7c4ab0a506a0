// The seam between the window front end and the history window plugin
// (libkvxdiag_history.so): the plugin brings the charts library along, so
// a run whose user never opens the history window never maps it.
#pragma once

#include <functional>
#include <string>

#include "history/run_history.h"
#include "service_report/service_report.h"

namespace kvx {

// What the window front end needs of the history window.
class HistoryPanel {
public:
    virtual ~HistoryPanel() = default;
    // Rebuilds the tables and charts from the run history.
    virtual void refresh() = 0;
    // Refreshes, shows and raises the window and gives it the focus.
    virtual void bringUp() = 0;
    virtual bool visible() const = 0;
    virtual void close() = 0;
    // The window's normal geometry as "left,top,width,height", for the
    // settings; setGeometry takes such a text (an unusable one is ignored)
    // before the window first shows, which otherwise opens at a size that
    // shows every column.
    virtual std::string geometry() const = 0;
    virtual void setGeometry(const std::string& text) = 0;
};

}  // namespace kvx

extern "C" {
// A hidden history window on `history`; `sources` gives what the service
// report needs at the moment it is written. Both outlive the window.
kvx::HistoryPanel* kvxdiag_create_history_window(kvx::RunHistory* history,
                                                 const std::function<kvx::ReportSources()>* sources);
}

#define KVX_HISTORY_PLUGIN_FILE "libkvxdiag_history.so"
#define KVX_HISTORY_PLUGIN_ENTRY "kvxdiag_create_history_window"
