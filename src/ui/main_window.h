// The main window: builds one widget per control of the display model, draws
// the model after every tick and hands what the user does to the core.
#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QScrollArea;

namespace kvx {

class DisplayModel;
class WindowActions;
struct Control;
enum class ColourRole;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    // The model and the actions must outlive the window.
    MainWindow(DisplayModel& model, WindowActions& actions, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Draws the whole model: texts, colours, marks, visibility, combo items,
    // caption, summary, stay-on-top, and places values after their captions.
    // Only what changed is touched; nothing is echoed back to the actions.
    void render();

    // Marks the data as old (whole seconds without a completed tick) or, with
    // nothing, as current: caption and summary heading say "no data for N s"
    // and the value colours are dimmed. Touches nothing else, so it may be
    // called while a tick waits in a dialog or for a driver call.
    void setStale(std::optional<std::int64_t> seconds);

    // Copies the normal geometry and the scroll positions into model.placement
    // (before the settings are written).
    void syncPlacement();
    // Applies model.placement (after the settings are read).
    void applyPlacement();

    // The widget showing a control of the model, by its name.
    QWidget* control(const std::string& name) const;
    QScrollArea* scrollArea() const { return scroll_; }

signals:
    // The user asked to close the window; the shutdown runs on this.
    void closing();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct Bound;

    void build();
    QGroupBox* makeGroup(const char* name, const char* title);
    QWidget* makeControl(const Control& c, QGroupBox* group);
    void connectActions();
    void onComboEdited(const std::string& name, const QString& text);
    void onComboSelected(const std::string& name, int index);
    void report(const std::string& name, int index);

    void renderControl(Bound& b);
    void renderSummary();
    void renderStayOnTop();
    void applyLayout();
    int taskFieldWidth() const;
    void orderTabStops();
    void applyScroll();
    QColor roleColour(ColourRole role) const;
    void renderStaleness();

    DisplayModel& model_;
    WindowActions& actions_;

    QScrollArea* scroll_ = nullptr;
    QWidget* canvas_ = nullptr;
    QGroupBox* versionGroup_ = nullptr;
    QGroupBox* boardGroup_ = nullptr;
    QGroupBox* taskGroup_ = nullptr;
    QGroupBox* summaryGroup_ = nullptr;
    QLabel* normalColour_ = nullptr;
    QLabel* errorColour_ = nullptr;
    QPlainTextEdit* summary_ = nullptr;
    QPlainTextEdit* warnings_ = nullptr;

    std::vector<Bound> bound_;
    std::unordered_map<std::string, std::size_t> byName_;
    QString shownSummary_;
    QString shownWarnings_;
    int taskNumberWidth_ = 0;
    bool scrollPending_ = false;
    std::optional<std::int64_t> staleSeconds_;
    QString caption_;  // the model's caption as last drawn
};

}  // namespace kvx
