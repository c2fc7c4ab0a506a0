// Resizing: group boxes stacking, right-anchored controls, the fixed scroll
// range, and the placement kept in the model.
#include <QGroupBox>
#include <QScrollArea>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <map>

#include "ui/window_design.h"
#include "ui/window_layout.h"
#include "window_fixture.h"

using kvx::test::WindowFixture;

namespace kvx::test {
DisplayModel scenarioBoard(const std::string& scenario, const std::vector<std::string>& commands, std::string& error);
}

namespace {

const char* const kRightAnchored[] = {"cbUseWebServices", "cbGetFileNames", "buReboot", "Label1", "Label2",
                                      "cbCardNr", "cbStayOnTop", "laMinTimeNr", "laDmaReadErr", "laRxComErrNr",
                                      "laRun", "laErrLine", "cbRun0", "cbStop3", "edErrNum1", "edErrLine3"};
const char* const kLeftAnchored[] = {"laDllName", "laMiniportVersion", "laBoardType", "laTask1FileName", "WarnMsg"};

void showAt(WindowFixture& f, int width, int height) {
    f.window->resize(width, height);
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
}

int groupWidth(QWidget* w) { return static_cast<QWidget*>(w->parent())->width(); }

// An online board in super-user mode, its values placed after their captions
// as the poll places them, the longest texts the window shows in a day's work.
void fillOnlineBoard(kvx::DisplayModel& m) {
    const char* const rows[][4] = {
        {"laExeVersion", "kvxdiag: ", "laExeVersionNr", "2.5.3.15"},
        {"laMiniportVersion", "Miniport Version: ", "laMiniportVersionNr", "51.23d"},
        {"laPldRev", "PLD Rev.Nr.: ", "laBdver_RenumNr", ""},
        {"laBdver_RenumNr", nullptr, "laFpver_FfuncNr", ""},
        {"laFpver_FfuncNr", nullptr, "laPldRevNr", "12"},
        {"laPldRevNr", nullptr, "laEpmBaseRev", " - EPM Base(optoio): "},
        {"laEpmBaseRev", nullptr, "laEpmBaseRevNr", "3"},
        {"laEpmBaseRevNr", nullptr, "laEpmOptionRev", " - EPM Option(optoio): "},
        {"laEpmOptionRev", nullptr, "laEpmOptionRevNr", "2"},
        {"laBoardType", "Board type: ", "laBoardTypeNr", "KVX-2000/PXB-5001 - 4 Axis - Sample Time: 1.28 ms"},
        {"laSnrGrundplatine", "Serial Number KVX-2000/PXB-5001: ", "laSnrGrundplatineNr", "A2000-04711"},
        {"laSnrOptionsprint", "Serial Number Option: ", "laSnrOptionsprintNr", "O2000-00815"},
        {"laStatusRegister", "Interface Status Register (asms.status_word): ", "laStatusRegisterNr", "03"},
        {"laErrorReg", "ErrorRegister: ", "laErrorRegNr", "00000000"},
    };
    for (const auto& row : rows) {
        if (row[1]) m.setText(row[0], row[1]);
        m.setPlaced(row[2], row[3], row[0]);
    }
    m.alignStarts("laSnrGrundplatineNr", "laSnrOptionsprintNr");
    m.setText("laDllName", "kvxg3.dll: 2.5.3.15");
    for (const char* name : {"laMinTimeNr", "laMaxTimeNr"}) m.setText(name, "1.27 ms");
    m.setText("laTask1FileName", "PALLETIZER_MAIN.QSL");
    m.setText("edErrNum1", "-2147483648");
    for (const char* name : {"cbUseWebServices", "cbGetFileNames", "buReboot"}) m.setVisible(name, true);
}

// The boards the simulator offers, as the poll leaves the window after a
// tick: every shipped scenario and the longest rows its commands make.
struct Board {
    const char* name;
    const char* scenario;
    std::vector<std::string> commands;
};
const Board kBoards[] = {
    {"kvx2000", "kvx2000.scn", {}},
    {"kvx2100", "kvx2100.scn", {}},
    {"kvx2400", "kvx2400.scn", {}},
    {"kvx4000", "kvx4000.scn", {}},
    {"lively", "lively.scn", {}},
    {"18AxesInFault", "kvx2000.scn", {"set axes 18", "inject emergency-out axis all"}},
    {"kvx4000With18AxesAnd9Modules", "kvx4000.scn", {"set axes 18"}},  // and a check sum per module, below
};

// Each board is polled once; the sizes reuse its model.
const kvx::DisplayModel& polledBoard(const Board& board) {
    static std::map<std::string, kvx::DisplayModel> polled;
    if (auto it = polled.find(board.name); it != polled.end()) return it->second;
    std::string error;
    std::vector<std::string> commands = board.commands;
    for (int m = 0; m < 9 && board.name == std::string("kvx4000With18AxesAnd9Modules"); ++m)
        commands.push_back("set module " + std::to_string(m) + " checksum 0x1A2" + std::to_string(m));
    kvx::DisplayModel model = kvx::test::scenarioBoard(board.scenario, commands, error);
    if (!error.empty()) qWarning("%s", error.c_str());
    return polled.emplace(board.name, std::move(model)).first->second;
}

// Where a control stands on the canvas.
QRect onCanvas(QWidget* w) { return w->geometry().translated(static_cast<QWidget*>(w->parent())->pos()); }

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    void groupsStackAtTheDesignSize() {
        WindowFixture f;
        showAt(f, 757, 677);
        QCOMPARE(f.find("gbVersionInformation")->geometry(), QRect(0, 0, 757, 97));
        QCOMPARE(f.find("gbBoardInformation")->geometry(), QRect(0, 97, 757, 236));
        QCOMPARE(f.find("gbTaskInformation")->geometry(), QRect(0, 333, 757, 161));
        QCOMPARE(f.find("bgErrorSummary")->geometry(), QRect(0, 494, 757, 183));

        f.window->resize(800, 900);
        QCOMPARE(f.find("gbTaskInformation")->geometry(), QRect(0, 333, 800, 384));
        QCOMPARE(f.find("bgErrorSummary")->geometry(), QRect(0, 717, 800, 183));
    }

    void shortWindowKeepsTheSummaryAtItsDesignHeight() {
        WindowFixture f;
        showAt(f, 700, 560);
        const int canvas = f.window->scrollArea()->widget()->height();
        QVERIFY(canvas > 560);
        QCOMPARE(f.find("bgErrorSummary")->geometry(), QRect(0, canvas - 183, f.find("canvas")->width(), 183));
        QCOMPARE(f.find("gbTaskInformation")->geometry().bottom() + 1, canvas - 183);
    }

    // Every size a technician gives the window, drawn again after a tick.
    void everySizeKeepsTheDesign_data() {
        QTest::addColumn<int>("board");  // -1: the filled online board, else one of kBoards
        QTest::addColumn<QSize>("client");
        QTest::addColumn<int>("across");  // horizontal scroll bar; -1: as far as the texts need
        QTest::addColumn<int>("down");    // vertical scroll bar
        const std::tuple<QSize, int, int> sizes[] = {
            {{620, 500}, 1, 1}, {{700, 560}, 0, 1}, {{757, 677}, 0, 0},
            {{1000, 677}, 0, 0}, {{1920, 1080}, 0, 0}, {{640, 450}, 1, 1}};  // Boot System beside the EPM row
        for (const auto& [client, across, down] : sizes) {
            const QByteArray size = QByteArray::number(client.width()) + "x" + QByteArray::number(client.height());
            QTest::newRow(size.constData()) << -1 << client << across << down;
            for (int b = 0; b < int(std::size(kBoards)); ++b)
                QTest::newRow(QByteArray(kBoards[b].name + ("/" + size)).constData())
                    << b << client << (client.width() >= 757 ? 0 : -1) << down;
        }
    }

    void everySizeKeepsTheDesign() {
        QFETCH(int, board);
        QFETCH(QSize, client);
        QFETCH(int, across);
        QFETCH(int, down);
        WindowFixture f;
        if (board < 0) {
            fillOnlineBoard(f.model);
        } else {
            f.model = polledBoard(kBoards[board]);
            QVERIFY2(f.model["laBoardTypeNr"].text.starts_with("KVX-"), f.model["laBoardTypeNr"].text.c_str());
        }
        f.window->render();
        showAt(f, 757, 677);
        std::map<std::string, int> designDistance;
        for (const kvx::Control& c : f.model.controls())
            if (const auto* spot = kvx::ui::designSpot(c.name); spot && spot->rightAnchored)
                designDistance[c.name] = 757 - f.find(c.name.c_str())->x();

        f.window->resize(client);
        f.window->render();  // a tick places the values again
        QScrollArea* area = f.window->scrollArea();
        QCOMPARE(area->size(), client);
        QWidget* canvas = area->widget();
        if (across >= 0) QCOMPARE(area->horizontalScrollBar()->isVisible(), bool(across));
        QCOMPARE(area->verticalScrollBar()->isVisible(), bool(down));
        QCOMPARE(canvas->width() > area->viewport()->width(), area->horizontalScrollBar()->isVisible());
        QCOMPARE(canvas->height() > area->viewport()->height(), area->verticalScrollBar()->isVisible());
        QVERIFY(canvas->width() >= 620 && canvas->height() >= 500);

        std::vector<std::pair<std::string, QRect>> shown;
        for (const kvx::Control& c : f.model.controls()) {
            QWidget* w = f.find(c.name.c_str());
            if (w->isHidden() || w->width() == 0) continue;
            shown.emplace_back(c.name, onCanvas(w));
            // Scrolled fully right, every shown text is in reach.
            QVERIFY2(QRect(QPoint(), w->parentWidget()->size()).contains(w->geometry()), c.name.c_str());
            if (designDistance.count(c.name))
                QVERIFY2(groupWidth(w) - w->x() == designDistance[c.name], c.name.c_str());
            if (c.kind == kvx::ControlKind::Label && !c.placedAfter.empty() && c.alignedWith.empty()) {
                QWidget* caption = f.find(c.placedAfter.c_str());
                QVERIFY2(w->x() == caption->x() + caption->width() + 4 && w->y() == caption->y(), c.name.c_str());
            }
        }
        for (std::size_t i = 0; i < shown.size(); ++i)
            for (std::size_t j = i + 1; j < shown.size(); ++j)
                QVERIFY2(!shown[i].second.intersects(shown[j].second),
                         (shown[i].first + " overlaps " + shown[j].first).c_str());
        for (const char* group : {"gbTaskInformation", "bgErrorSummary"})
            QVERIFY2(canvas->rect().contains(f.find(group)->geometry()), group);
    }

    void rightAnchoredControlsKeepTheirDistance() {
        WindowFixture f;
        for (const char* name : {"cbUseWebServices", "cbGetFileNames", "buReboot"}) f.model.setVisible(name, true);
        f.window->render();
        showAt(f, 757, 677);
        std::vector<int> distance, left;
        for (const char* name : kRightAnchored) distance.push_back(groupWidth(f.find(name)) - f.find(name)->x());
        for (const char* name : kLeftAnchored) left.push_back(f.find(name)->x());
        QCOMPARE(distance[5], 757 - 696);  // cbCardNr at its design place

        for (int width : {1000, 640}) {
            f.window->resize(width, 677);
            // At 640 Boot System would cover the version row's "---": the
            // canvas stays wide enough for both and scrolls.
            const int canvas = f.window->scrollArea()->widget()->width();
            QCOMPARE(canvas > width, width == 640);
            QCOMPARE(f.find("gbVersionInformation")->width(), canvas);
            for (std::size_t i = 0; i < std::size(kRightAnchored); ++i) {
                QWidget* w = f.find(kRightAnchored[i]);
                QCOMPARE(groupWidth(w) - w->x(), distance[i]);
            }
            for (std::size_t i = 0; i < std::size(kLeftAnchored); ++i) QCOMPARE(f.find(kLeftAnchored[i])->x(), left[i]);
        }
        QCOMPARE(f.find("cbCardNr")->x(), f.window->scrollArea()->widget()->width() - (757 - 696));
    }

    void scrollBarsAppearBelowTheScrollRange() {
        WindowFixture f;
        showAt(f, 757, 677);
        QScrollArea* area = f.window->scrollArea();
        QVERIFY(!area->horizontalScrollBar()->isVisible());
        QVERIFY(!area->verticalScrollBar()->isVisible());

        f.window->resize(600, 450);
        QTRY_VERIFY(area->horizontalScrollBar()->isVisible());
        QTRY_VERIFY(area->verticalScrollBar()->isVisible());
        // Down, the range is what all four task rows and the summary need.
        QCOMPARE(area->widget()->width(), 620);
        QVERIFY(area->widget()->height() > 600);
        QCOMPARE(area->horizontalScrollBar()->maximum(), 620 - area->viewport()->width());
        QCOMPARE(area->verticalScrollBar()->maximum(), area->widget()->height() - area->viewport()->height());

        // Wide enough across, too short down: only the vertical bar.
        f.window->resize(740, 450);
        QTRY_VERIFY(!area->horizontalScrollBar()->isVisible());
        QVERIFY(area->verticalScrollBar()->isVisible());
    }

    void placementRoundTrip() {
        WindowFixture f;
        f.model.placement = {100, 120, 600, 450, 30, 15};
        f.window->applyPlacement();
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QCOMPARE(f.window->size(), QSize(600, 450));
        QCOMPARE(f.window->scrollArea()->verticalScrollBar()->value(), 30);
        QCOMPARE(f.window->scrollArea()->horizontalScrollBar()->value(), 15);

        f.window->scrollArea()->verticalScrollBar()->setValue(40);
        f.window->resize(610, 460);
        f.window->syncPlacement();
        QCOMPARE(f.model.placement.width, 610);
        QCOMPARE(f.model.placement.height, 460);
        QCOMPARE(f.model.placement.verticalScroll, 40);
        QCOMPARE(f.model.placement.horizontalScroll, 15);
        QCOMPARE(f.model.placement.left, f.window->normalGeometry().x());
        QCOMPARE(f.model.placement.top, f.window->normalGeometry().y());
    }

    // A placement from another screen or scale is fitted to the screen it
    // is meant for, frame included; one that fits keeps its place.
    void placementIsFittedToTheScreen() {
        using kvx::ui::Box;
        const kvx::ui::Frame frame{4, 28, 4, 4};
        const struct {
            const char* name;
            Box stored, available, expected;
        } rows[] = {
            {"scale 2 on 1920x1080", {736, 226, 757, 677}, {0, 0, 960, 540}, {199, 28, 757, 508}},
            {"recorded on a wider screen", {1500, 200, 757, 677}, {0, 0, 1600, 1000}, {839, 200, 757, 677}},
            {"above and left of the screen", {-300, -50, 757, 677}, {0, 0, 1600, 1000}, {4, 28, 757, 677}},
            {"fits on a second screen", {1700, 100, 757, 677}, {1600, 0, 1280, 1024}, {1700, 100, 757, 677}},
        };
        for (const auto& row : rows)
            QVERIFY2(kvx::ui::fitOnScreen(row.stored, frame, row.available) == row.expected, row.name);

        // Through the window: fitted on screen, the stored placement kept.
        WindowFixture f;
        f.model.placement = {1500, 300, 2400, 1500, 0, 0};
        f.window->applyPlacement();
        const QRect screen = f.window->screen()->availableGeometry();
        QVERIFY(screen.contains(f.window->geometry()));
        QCOMPARE(f.model.placement.width, 2400);
    }

    void placementBeforeShowKeepsTheScrollPositions() {
        WindowFixture f;
        f.model.placement.verticalScroll = 25;
        f.model.placement.horizontalScroll = 5;
        f.window->applyPlacement();
        f.window->syncPlacement();
        QCOMPARE(f.model.placement.verticalScroll, 25);
        QCOMPARE(f.model.placement.horizontalScroll, 5);
        QCOMPARE(f.model.placement.width, 757);
        QCOMPARE(f.model.placement.height, 677);
    }
};

int runLayoutTests(int argc, char** argv) {
    LayoutTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "layout_test.moc"
