// Resizing: group boxes stacking, right-anchored controls, the fixed scroll
// range, and the placement kept in the model.
#include <QGroupBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "window_fixture.h"

using kvx::test::WindowFixture;

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
        QCOMPARE(f.find("gbTaskInformation")->geometry(), QRect(0, 333, 700, 44));
        QCOMPARE(f.find("bgErrorSummary")->geometry(), QRect(0, 377, 700, 183));
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
            QCOMPARE(f.find("gbVersionInformation")->width(), width);
            for (std::size_t i = 0; i < std::size(kRightAnchored); ++i) {
                QWidget* w = f.find(kRightAnchored[i]);
                QCOMPARE(groupWidth(w) - w->x(), distance[i]);
            }
            for (std::size_t i = 0; i < std::size(kLeftAnchored); ++i) QCOMPARE(f.find(kLeftAnchored[i])->x(), left[i]);
        }
        QCOMPARE(f.find("cbCardNr")->x(), 640 - (757 - 696));
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
        QCOMPARE(area->widget()->size(), QSize(620, 500));
        QCOMPARE(area->horizontalScrollBar()->maximum(), 620 - area->viewport()->width());
        QCOMPARE(area->verticalScrollBar()->maximum(), 500 - area->viewport()->height());

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
