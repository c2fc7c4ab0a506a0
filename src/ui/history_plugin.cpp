// libkvxdiag_history.so: the history window behind the HistoryPanel seam.
#include "ui/history_plugin.h"

#include "ui/history_window.h"

#include <QRect>
#include <QStringList>

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
    std::string geometry() const override {
        const QRect r = window_.normalGeometry().isValid() ? window_.normalGeometry() : window_.geometry();
        return QString("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
    }
    void setGeometry(const std::string& text) override {
        const QStringList parts = QString::fromStdString(text).split(',');
        if (parts.size() != 4) return;
        int v[4];
        for (int i = 0; i < 4; ++i) {
            bool ok = false;
            v[i] = parts[i].trimmed().toInt(&ok);
            if (!ok) return;
        }
        if (v[2] < 200 || v[3] < 150) return;  // too small to be a window anyone left
        window_.setGeometry(v[0], v[1], v[2], v[3]);
    }

private:
    kvx::HistoryWindow window_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) kvx::HistoryPanel* kvxdiag_create_history_window(
    kvx::RunHistory* history, const std::function<kvx::ReportSources()>* sources) {
    return new Panel(*history, *sources);
}
