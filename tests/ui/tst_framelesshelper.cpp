#include <memory>

#include <QApplication>
#include <QHoverEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QRubberBand>
#include <QTest>
#include <QWidget>

#include "EdgeHitTest.h"
#include "FramelessHelper.h"

namespace {

const QRect kFrame(100, 100, 800, 600);
// A window whose cursor is unset shows the arrow; the helper itself only ever sets resize cursors.
constexpr int kNoCursor = Qt::ArrowCursor;

// Counts the pointer events that get through to the widget itself.
class CountingWidget : public QWidget {
public:
    int pointerEvents = 0;

protected:
    void mousePressEvent(QMouseEvent *event) override {
        ++pointerEvents;
        QWidget::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent *event) override {
        ++pointerEvents;
        QWidget::mouseReleaseEvent(event);
    }
    void mouseDoubleClickEvent(QMouseEvent *event) override {
        ++pointerEvents;
        QWidget::mouseDoubleClickEvent(event);
    }
    void mouseMoveEvent(QMouseEvent *event) override {
        ++pointerEvents;
        QWidget::mouseMoveEvent(event);
    }
};

QString zoneNames(const EdgeHitTest &hit) {
    QStringList names;
    const std::pair<bool, const char *> zones[] = {{hit.left, "left"},         {hit.right, "right"},
                                                   {hit.top, "top"},           {hit.bottom, "bottom"},
                                                   {hit.topLeft, "topLeft"},   {hit.bottomLeft, "bottomLeft"},
                                                   {hit.topRight, "topRight"}, {hit.bottomRight, "bottomRight"},
                                                   {hit.onEdge, "edge"}};
    for (const auto &[on, name] : zones) {
        if (on) {
            names << QString::fromLatin1(name);
        }
    }
    return names.join(' ');
}

QList<QRubberBand *> rubberBands() {
    QList<QRubberBand *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *band = qobject_cast<QRubberBand *>(widget)) {
            found << band;
        }
    }
    return found;
}

int cursorOf(const QWidget *widget) {
    return widget->cursor().shape();
}

// The offscreen platform cannot raise windows and says so whenever a rubber band is shown.
void expectRaiseWarnings(int count) {
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support raise()");
    }
}

}  // namespace

class TestFramelessHelper : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CountingWidget> m_window;
    std::unique_ptr<FramelessHelper> m_helper;

    // Events carry explicit global positions; local ones follow from the frame, which offscreen has no border.
    bool sendMouse(QEvent::Type type, const QPoint &global, Qt::MouseButton button, Qt::MouseButtons buttons) {
        const QPointF local = QPointF(global - m_window->frameGeometry().topLeft());
        QMouseEvent event(type, local, QPointF(global), button, buttons, Qt::NoModifier);
        return QCoreApplication::sendEvent(m_window.get(), &event);
    }
    bool press(const QPoint &global, Qt::MouseButton button = Qt::LeftButton) {
        return sendMouse(QEvent::MouseButtonPress, global, button, button);
    }
    bool moveWithButton(const QPoint &global, Qt::MouseButtons buttons = Qt::LeftButton) {
        return sendMouse(QEvent::MouseMove, global, Qt::NoButton, buttons);
    }
    bool release(const QPoint &global, Qt::MouseButton button = Qt::LeftButton) {
        return sendMouse(QEvent::MouseButtonRelease, global, button, Qt::NoButton);
    }
    bool doubleClickAtLocal(const QPoint &local) {
        const QPoint global = local + m_window->frameGeometry().topLeft();
        return sendMouse(QEvent::MouseButtonDblClick, global, Qt::LeftButton, Qt::LeftButton);
    }
    bool hover(const QPoint &global) {
        const QPointF local = QPointF(global - m_window->frameGeometry().topLeft());
        QHoverEvent event(QEvent::HoverMove, local, QPointF(global), local);
        return QCoreApplication::sendEvent(m_window.get(), &event);
    }
    void drag(const QPoint &from, const QPoint &to) {
        press(from);
        moveWithButton(to);
    }

private slots:
    void init() {
        m_window = std::make_unique<CountingWidget>();
        m_window->setGeometry(kFrame);
        m_window->setMinimumSize(600, 400);
        m_helper = std::make_unique<FramelessHelper>();
        m_helper->attach(m_window.get());
        FramelessHelper::setTitleBarHeight(40);
        FramelessHelper::setResizeBorder(3);
        m_window->setWindowFlags(m_window->windowFlags() | Qt::FramelessWindowHint);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QCOMPARE(m_window->frameGeometry(), kFrame);
    }

    void cleanup() {
        m_helper.reset();
        m_window.reset();
    }

    void startsWithTheDocumentedOptions() {
        const FramelessHelper fresh;
        QVERIFY(fresh.moveEnabled());
        QVERIFY(fresh.resizeEnabled());
        QVERIFY(!fresh.moveRubberBand());
        QVERIFY(!fresh.resizeRubberBand());
        QVERIFY(m_window->testAttribute(Qt::WA_MouseTracking));
        QVERIFY(m_window->testAttribute(Qt::WA_Hover));
    }

    void edgeZones_data() {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QString>("zones");
        QTest::newRow("inside") << QPoint(450, 400) << "";
        QTest::newRow("left of the frame") << QPoint(99, 400) << "";
        QTest::newRow("left zone, frame column") << QPoint(100, 400) << "left edge";
        QTest::newRow("left zone, innermost") << QPoint(103, 400) << "left edge";
        QTest::newRow("past the left zone") << QPoint(104, 400) << "";
        QTest::newRow("before the right zone") << QPoint(896, 400) << "";
        QTest::newRow("right zone, innermost") << QPoint(897, 400) << "right edge";
        QTest::newRow("right zone, first column outside") << QPoint(900, 400) << "right edge";
        QTest::newRow("right of the right zone") << QPoint(901, 400) << "";
        QTest::newRow("above the frame") << QPoint(450, 99) << "";
        QTest::newRow("top zone, frame row") << QPoint(450, 100) << "top edge";
        QTest::newRow("top zone, innermost") << QPoint(450, 103) << "top edge";
        QTest::newRow("past the top zone") << QPoint(450, 104) << "";
        QTest::newRow("before the bottom zone") << QPoint(450, 696) << "";
        QTest::newRow("bottom zone, innermost") << QPoint(450, 697) << "bottom edge";
        QTest::newRow("bottom zone, first row outside") << QPoint(450, 700) << "bottom edge";
        QTest::newRow("below the bottom zone") << QPoint(450, 701) << "";
        QTest::newRow("top-left corner") << QPoint(100, 100) << "left top topLeft edge";
        QTest::newRow("top-right corner") << QPoint(900, 100) << "right top topRight edge";
        QTest::newRow("bottom-left corner") << QPoint(103, 697) << "left bottom bottomLeft edge";
        QTest::newRow("bottom-right corner") << QPoint(897, 700) << "right bottom bottomRight edge";
    }
    void edgeZones() {
        QFETCH(QPoint, point);
        QFETCH(QString, zones);
        QCOMPARE(zoneNames(EdgeHitTest::at(point, kFrame, 3)), zones);
    }

    void hoverShowsResizeCursor_data() {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<int>("cursor");
        QTest::newRow("top-left") << QPoint(100, 100) << int(Qt::SizeFDiagCursor);
        QTest::newRow("bottom-right") << QPoint(900, 700) << int(Qt::SizeFDiagCursor);
        QTest::newRow("top-right") << QPoint(900, 100) << int(Qt::SizeBDiagCursor);
        QTest::newRow("bottom-left") << QPoint(100, 700) << int(Qt::SizeBDiagCursor);
        QTest::newRow("top") << QPoint(450, 102) << int(Qt::SizeVerCursor);
        QTest::newRow("bottom") << QPoint(450, 698) << int(Qt::SizeVerCursor);
        QTest::newRow("left") << QPoint(101, 400) << int(Qt::SizeHorCursor);
        QTest::newRow("right") << QPoint(899, 400) << int(Qt::SizeHorCursor);
        QTest::newRow("inside") << QPoint(450, 400) << kNoCursor;
        QTest::newRow("just past the left zone") << QPoint(104, 400) << kNoCursor;
    }
    void hoverShowsResizeCursor() {
        QFETCH(QPoint, point);
        QFETCH(int, cursor);
        QVERIFY(hover(point));
        QCOMPARE(cursorOf(m_window.get()), cursor);
    }

    void hoverPositionIsRounded() {
        // 103.5 rounds away from zero to 104, just past the left zone; 103.4 stays in it.
        const QPointF localInside(3.5, 300.0);
        QHoverEvent outside(QEvent::HoverMove, localInside, localInside + QPointF(100, 100), localInside);
        QCoreApplication::sendEvent(m_window.get(), &outside);
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);

        const QPointF localEdge(3.4, 300.0);
        QHoverEvent edge(QEvent::HoverMove, localEdge, localEdge + QPointF(100, 100), localEdge);
        QCoreApplication::sendEvent(m_window.get(), &edge);
        QCOMPARE(cursorOf(m_window.get()), int(Qt::SizeHorCursor));
    }

    void cursorIsUnsetBackInside() {
        hover(QPoint(450, 102));
        QCOMPARE(cursorOf(m_window.get()), int(Qt::SizeVerCursor));
        hover(QPoint(450, 400));
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);

        // Moves without a button pressed update the cursor the same way.
        moveWithButton(QPoint(100, 100), Qt::NoButton);
        QCOMPARE(cursorOf(m_window.get()), int(Qt::SizeFDiagCursor));
        moveWithButton(QPoint(450, 400), Qt::NoButton);
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);
    }

    void noResizeCursorWithResizingOff() {
        m_helper->setResizeEnabled(false);
        hover(QPoint(100, 100));
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);
    }

    void leaveUnsetsCursorUnlessButtonDown() {
        hover(QPoint(101, 400));
        QEvent leave(QEvent::Leave);
        QVERIFY(QCoreApplication::sendEvent(m_window.get(), &leave));
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);

        hover(QPoint(101, 400));
        press(QPoint(101, 400));
        QEvent leaveWhileResizing(QEvent::Leave);
        QCoreApplication::sendEvent(m_window.get(), &leaveWhileResizing);
        QCOMPARE(cursorOf(m_window.get()), int(Qt::SizeHorCursor));
    }

    void noResizeCursorWhileMaximised() {
        hover(QPoint(101, 400));
        QCOMPARE(cursorOf(m_window.get()), int(Qt::SizeHorCursor));
        m_window->showMaximized();
        QTRY_VERIFY(m_window->isMaximized());

        // The cursor set before maximising goes; no edge sets a new one.
        const QRect frame = m_window->frameGeometry();
        hover(frame.topLeft() + QPoint(1, 200));
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);
        hover(frame.topLeft());
        QCOMPARE(cursorOf(m_window.get()), kNoCursor);
    }

    void dragInTitleArea_data() {
        QTest::addColumn<int>("pressY");
        QTest::addColumn<bool>("moveEnabled");
        QTest::addColumn<QPoint>("topLeft");
        QTest::newRow("title area") << 20 << true << QPoint(130, 110);
        QTest::newRow("last title row") << 39 << true << QPoint(130, 110);
        QTest::newRow("below the title area") << 40 << true << QPoint(100, 100);
        QTest::newRow("moving off") << 20 << false << QPoint(100, 100);
    }
    void dragInTitleArea() {
        QFETCH(int, pressY);
        QFETCH(bool, moveEnabled);
        QFETCH(QPoint, topLeft);
        m_helper->setMoveEnabled(moveEnabled);
        const QPoint start(400, 100 + pressY);
        drag(start, start + QPoint(30, 10));
        release(start + QPoint(30, 10));
        QCOMPARE(m_window->frameGeometry(), QRect(topLeft, kFrame.size()));
    }

    void dragFollowsEveryMove() {
        press(QPoint(400, 120));
        moveWithButton(QPoint(410, 125));
        QCOMPARE(m_window->pos(), QPoint(110, 105));
        moveWithButton(QPoint(380, 90));
        QCOMPARE(m_window->pos(), QPoint(80, 70));
        release(QPoint(380, 90));
        // Once released, moves no longer drag.
        moveWithButton(QPoint(500, 300), Qt::NoButton);
        QCOMPARE(m_window->pos(), QPoint(80, 70));
    }

    void edgeInTitleAreaResizesInsteadOfMoving() {
        drag(QPoint(450, 101), QPoint(480, 91));
        QCOMPARE(m_window->frameGeometry(), QRect(100, 91, 800, 609));
    }

    void resize_data() {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("left edge out") << QPoint(101, 400) << QPoint(51, 400) << QRect(51, 100, 849, 600);
        QTest::newRow("left edge in, above minimum")
            << QPoint(101, 400) << QPoint(250, 400) << QRect(250, 100, 650, 600);
        QTest::newRow("left edge in, to the minimum")
            << QPoint(101, 400) << QPoint(300, 400) << QRect(300, 100, 600, 600);
        QTest::newRow("left edge in, past the minimum") << QPoint(101, 400) << QPoint(400, 400) << kFrame;
        QTest::newRow("right edge out") << QPoint(898, 400) << QPoint(1000, 400) << QRect(100, 100, 901, 600);
        QTest::newRow("right edge in, above minimum")
            << QPoint(898, 400) << QPoint(750, 400) << QRect(100, 100, 651, 600);
        QTest::newRow("right edge in, past the minimum") << QPoint(898, 400) << QPoint(500, 400) << kFrame;
        QTest::newRow("top edge in, past the minimum") << QPoint(450, 100) << QPoint(450, 400) << kFrame;
        QTest::newRow("bottom edge in, past the minimum") << QPoint(450, 699) << QPoint(450, 300) << kFrame;
        QTest::newRow("bottom edge out") << QPoint(450, 699) << QPoint(450, 720) << QRect(100, 100, 800, 621);
        QTest::newRow("bottom-right corner") << QPoint(899, 699) << QPoint(950, 750) << QRect(100, 100, 851, 651);
        QTest::newRow("top-left corner") << QPoint(100, 100) << QPoint(90, 80) << QRect(90, 80, 810, 620);
        QTest::newRow("top-right corner, width past the minimum")
            << QPoint(899, 101) << QPoint(500, 90) << QRect(100, 90, 800, 610);
        QTest::newRow("left edge beyond the right edge") << QPoint(101, 400) << QPoint(1000, 400) << kFrame;
    }
    void resize() {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(QRect, geometry);
        drag(from, to);
        QCOMPARE(m_window->frameGeometry(), geometry);
        release(to);
        QCOMPARE(m_window->frameGeometry(), geometry);
    }

    void noResizeWithResizingOff() {
        m_helper->setResizeEnabled(false);
        drag(QPoint(898, 400), QPoint(1000, 400));
        QCOMPARE(m_window->frameGeometry(), kFrame);
        // A press on the top edge inside the title area then drags instead.
        drag(QPoint(450, 101), QPoint(480, 91));
        QCOMPARE(m_window->frameGeometry(), QRect(130, 90, 800, 600));
    }

    void doubleClickInTitleAreaToggles_data() {
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("toggles");
        QTest::newRow("last title row") << 39 << true;
        QTest::newRow("first row below") << 40 << false;
        QTest::newRow("top row") << 0 << true;
    }
    void doubleClickInTitleAreaToggles() {
        // Offscreen, maximising takes effect: the state flag changes and the window fills the screen.
        QFETCH(int, y);
        QFETCH(bool, toggles);
        QVERIFY(doubleClickAtLocal(QPoint(300, y)));
        QCoreApplication::processEvents();
        QCOMPARE(m_window->isMaximized(), toggles);
        if (!toggles) {
            QCOMPARE(m_window->frameGeometry(), kFrame);
            return;
        }
        QVERIFY(doubleClickAtLocal(QPoint(300, y)));
        QCoreApplication::processEvents();
        QVERIFY(!m_window->isMaximized());
        QVERIFY(!(m_window->windowState() & Qt::WindowMaximized));
        QTRY_COMPARE(m_window->frameGeometry(), kFrame);
    }

    void doubleClickWithOtherButtonDoesNothing() {
        const QPoint global = kFrame.topLeft() + QPoint(300, 20);
        QVERIFY(sendMouse(QEvent::MouseButtonDblClick, global, Qt::RightButton, Qt::RightButton));
        QCoreApplication::processEvents();
        QVERIFY(!m_window->isMaximized());
    }

    void titleBarHeightIsClassWide() {
        FramelessHelper other;
        other.setTitleBarHeight(50);
        QCOMPARE(FramelessHelper::titleBarHeight(), 50);
        doubleClickAtLocal(QPoint(300, 45));
        QCoreApplication::processEvents();
        QVERIFY(m_window->isMaximized());
    }

    void pointerEventsAreConsumed() {
        // Right button: consumed and ignored, even in the title area.
        QVERIFY(press(QPoint(400, 120), Qt::RightButton));
        QVERIFY(moveWithButton(QPoint(430, 130), Qt::RightButton));
        QVERIFY(release(QPoint(430, 130), Qt::RightButton));
        QCOMPARE(m_window->frameGeometry(), kFrame);
        // Left button events the helper acts on never reach the window either.
        press(QPoint(450, 400));
        moveWithButton(QPoint(460, 410));
        release(QPoint(460, 410));
        doubleClickAtLocal(QPoint(300, 300));
        QCOMPARE(m_window->frameGeometry(), kFrame);
        QCOMPARE(m_window->pointerEvents, 0);
    }

    void unattachedWidgetKeepsItsEvents() {
        CountingWidget other;
        other.setGeometry(kFrame);
        other.show();
        const QPointF local(300, 20);
        QMouseEvent pressEvent(QEvent::MouseButtonPress, local, local + QPointF(100, 100), Qt::LeftButton,
                               Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&other, &pressEvent);
        QCOMPARE(other.pointerEvents, 1);
    }

    void moveRubberBandFollowsAndWindowJumps() {
        QVERIFY(rubberBands().isEmpty());
        m_helper->setMoveRubberBand(true);
        QCOMPARE(rubberBands().size(), 1);
        QRubberBand *band = rubberBands().first();
        QVERIFY(!band->isVisible());
        QCOMPARE(band->shape(), QRubberBand::Rectangle);

        expectRaiseWarnings(2);
        press(QPoint(400, 120));
        QVERIFY(band->isVisible());
        QCOMPARE(band->geometry(), kFrame);
        moveWithButton(QPoint(430, 130));
        QCOMPARE(band->geometry(), QRect(QPoint(130, 110), kFrame.size()));
        QCOMPARE(m_window->frameGeometry(), kFrame);

        release(QPoint(430, 130));
        QVERIFY(!band->isVisible());
        QCOMPARE(m_window->frameGeometry(), QRect(QPoint(130, 110), kFrame.size()));
    }

    void resizeRubberBandFollowsAndWindowJumps() {
        m_helper->setResizeRubberBand(true);
        QCOMPARE(rubberBands().size(), 1);
        QRubberBand *band = rubberBands().first();

        expectRaiseWarnings(2);
        press(QPoint(898, 400));
        QVERIFY(band->isVisible());
        moveWithButton(QPoint(950, 400));
        QCOMPARE(band->geometry(), QRect(100, 100, 851, 600));
        // The minimum size applies to the outline as well.
        moveWithButton(QPoint(500, 400));
        QCOMPARE(band->geometry(), QRect(100, 100, 851, 600));
        QCOMPARE(m_window->frameGeometry(), kFrame);

        release(QPoint(500, 400));
        QVERIFY(!band->isVisible());
        QCOMPARE(m_window->frameGeometry(), QRect(100, 100, 851, 600));
    }

    void rubberBandOnlyForTheChosenAction() {
        // Resize outline only: a title drag moves the window itself.
        m_helper->setResizeRubberBand(true);
        QRubberBand *band = rubberBands().first();
        press(QPoint(400, 120));
        QVERIFY(!band->isVisible());
        moveWithButton(QPoint(430, 130));
        QCOMPARE(m_window->pos(), QPoint(130, 110));
        release(QPoint(430, 130));
        QCOMPARE(m_window->pos(), QPoint(130, 110));
    }

    void rubberBandGoesWhenBothOptionsAreOff() {
        m_helper->setMoveRubberBand(true);
        m_helper->setResizeRubberBand(true);
        QCOMPARE(rubberBands().size(), 1);
        m_helper->setMoveRubberBand(false);
        QCOMPARE(rubberBands().size(), 1);
        m_helper->setResizeRubberBand(false);
        QVERIFY(rubberBands().isEmpty());
    }

    void destructorRestoresFlagsAndAttributes() {
        // init() attached the framed window and only then made it frameless.
        const Qt::WindowFlags framed = m_window->windowFlags() & ~Qt::FramelessWindowHint;
        QVERIFY(m_window->windowFlags() & Qt::FramelessWindowHint);
        m_helper->attach(m_window.get());  // a second attach keeps the flags saved by the first
        m_helper->setMoveRubberBand(true);

        m_helper.reset();
        QCOMPARE(m_window->windowFlags(), framed);
        QVERIFY(!m_window->testAttribute(Qt::WA_MouseTracking));
        QVERIFY(!m_window->testAttribute(Qt::WA_Hover));
        QVERIFY(rubberBands().isEmpty());

        // The window handles its own events again.
        press(QPoint(400, 120));
        QCOMPARE(m_window->pointerEvents, 1);
    }

    void helperOwnedByTheWindowGoesWithIt() {
        auto *window = new QWidget;
        window->setGeometry(kFrame);
        QPointer<FramelessHelper> helper = new FramelessHelper(window);
        helper->attach(window);
        helper->setResizeRubberBand(true);
        window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        delete window;
        QVERIFY(helper.isNull());
        QVERIFY(rubberBands().isEmpty());
    }

    void windowDestroyedBeforeTheHelper() {
        auto *window = new QWidget;
        m_helper->attach(window);
        m_helper->setMoveRubberBand(true);
        QCOMPARE(rubberBands().size(), 2);  // one outline per attached widget
        delete window;
        // The destroyed window is forgotten and its outline goes with it; the helper still serves the other one.
        QCOMPARE(rubberBands().size(), 1);
        m_helper->setMoveRubberBand(false);
        drag(QPoint(400, 120), QPoint(430, 130));
        QCOMPARE(m_window->pos(), QPoint(130, 110));
    }
};

QTEST_MAIN(TestFramelessHelper)
#include "tst_framelesshelper.moc"
