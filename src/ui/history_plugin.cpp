// libkvxdiag_history.so: the history window behind the HistoryPanel seam.
#include "ui/history_plugin.h"

#include "ui/history_window.h"

namespace {

class Panel : public kvx::HistoryPanel {
public:
    Panel(kvx::RunHistory& history, std::function<kvx::ReportSources()> sources) : window_(history, std::move(sources)) {}
    void refresh() override { window_.refresh(); }
    void bringUp() override {
        window_.refresh();
        window_.show();
        window_.raise();
        window_.activateWindow();
    }
    bool visible() const override { return window_.isVisible(); }
    void close() override { window_.close(); }

private:
    kvx::HistoryWindow window_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) kvx::HistoryPanel* kvxdiag_create_history_window(
    kvx::RunHistory* history, const std::function<kvx::ReportSources()>* sources) {
    return new Panel(*history, *sources);
}
