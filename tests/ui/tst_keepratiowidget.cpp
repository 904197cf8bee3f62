#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include "KeepRatioWidget.h"

namespace {

// A shown window holding one view, so geometry changes arrive as real resize events.
class ViewHost {
public:
    explicit ViewHost(QSize viewSize) {
        m_window.resize(400, 400);
        m_view = new KeepRatioWidget(&m_window);
        m_window.show();
        m_exposed = QTest::qWaitForWindowExposed(&m_window);
        m_view->setGeometry(QRect(QPoint(0, 0), viewSize));
    }

    bool exposed() const { return m_exposed; }
    QWidget &window() { return m_window; }
    KeepRatioWidget *view() const { return m_view; }
    QLabel *label() const { return m_view->label(); }
    QWidget *inner() const { return m_view->label()->parentWidget(); }

private:
    QWidget m_window;
    KeepRatioWidget *m_view = nullptr;
    bool m_exposed = false;
};

// Delivers one mouse event to the label exactly as given (fractional positions included).
void sendMouse(QWidget *target, QEvent::Type type, QPointF pos, Qt::MouseButton button) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

}  // namespace

class TestKeepRatioWidget : public QObject {
    Q_OBJECT

private slots:
    void innerWidgetIsCentredSquare_data();
    void innerWidgetIsCentredSquare();
    void labelKeepsTwoPixelMargin();
    void leftPressReportsCell_data();
    void leftPressReportsCell();
    void clickThroughWindowReportsCell();
    void otherButtonsReportNothing_data();
    void otherButtonsReportNothing();
    void pressBesideLabelReportsNothing_data();
    void pressBesideLabelReportsNothing();
    void pressOutsideLabelAreaReportsNothing_data();
    void pressOutsideLabelAreaReportsNothing();
    void doubleClickReportsFirstPressOnly();
    void collapsedLabelReportsNothing();
};

void TestKeepRatioWidget::innerWidgetIsCentredSquare_data() {
    QTest::addColumn<QSize>("viewSize");
    QTest::addColumn<QRect>("innerGeometry");

    QTest::newRow("wide") << QSize(300, 200) << QRect(50, 0, 200, 200);
    QTest::newRow("tall") << QSize(200, 300) << QRect(0, 50, 200, 200);
    QTest::newRow("odd spare width truncates") << QSize(301, 200) << QRect(50, 0, 200, 200);
    QTest::newRow("odd spare height truncates") << QSize(201, 300) << QRect(0, 49, 201, 201);
    QTest::newRow("square") << QSize(200, 200) << QRect(0, 0, 200, 200);
}

void TestKeepRatioWidget::innerWidgetIsCentredSquare() {
    QFETCH(QSize, viewSize);
    QFETCH(QRect, innerGeometry);

    ViewHost host(viewSize);
    QVERIFY(host.exposed());
    QCOMPARE(host.view()->size(), viewSize);
    QCOMPARE(host.inner()->geometry(), innerGeometry);

    // A later resize refits the square.
    host.view()->setGeometry(0, 0, 120, 80);
    QCOMPARE(host.inner()->geometry(), QRect(20, 0, 80, 80));
}

void TestKeepRatioWidget::labelKeepsTwoPixelMargin() {
    ViewHost host(QSize(300, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->geometry(), QRect(2, 2, 196, 196));
    QVERIFY(host.label()->text().isEmpty());
    QVERIFY(host.label()->pixmap().isNull());
}

void TestKeepRatioWidget::leftPressReportsCell_data() {
    QTest::addColumn<QPointF>("pos");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");

    // The label is 196 x 196, so one cell is 3.0625 pixels wide.
    QTest::newRow("top-left corner") << QPointF(0, 0) << 0 << 0;
    QTest::newRow("bottom-right corner") << QPointF(195.9, 195.9) << 63 << 63;
    QTest::newRow("middle of the top row") << QPointF(98, 3) << 32 << 0;
    QTest::newRow("just before the second column") << QPointF(3.06, 0) << 0 << 0;
    QTest::newRow("start of the second column") << QPointF(3.0625, 0) << 1 << 0;
    QTest::newRow("column and row differ") << QPointF(16, 190) << 5 << 62;
}

void TestKeepRatioWidget::leftPressReportsCell() {
    QFETCH(QPointF, pos);
    QFETCH(int, x);
    QFETCH(int, y);

    ViewHost host(QSize(200, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->size(), QSize(196, 196));

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    sendMouse(host.label(), QEvent::MouseButtonPress, pos, Qt::LeftButton);
    sendMouse(host.label(), QEvent::MouseButtonRelease, pos, Qt::LeftButton);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), x);
    QCOMPARE(spy.at(0).at(1).toInt(), y);
}

void TestKeepRatioWidget::clickThroughWindowReportsCell() {
    ViewHost host(QSize(300, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->size(), QSize(196, 196));

    // The label starts at (52, 2) in the window; (150, 100) is label point (98, 98).
    const QPoint windowPoint(150, 100);
    QWidget *target = host.window().childAt(windowPoint);
    QCOMPARE(target, host.label());

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&host.window(), windowPoint));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0), (QList<QVariant>{32, 32}));
}

void TestKeepRatioWidget::otherButtonsReportNothing_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
    QTest::newRow("back") << Qt::BackButton;
}

void TestKeepRatioWidget::otherButtonsReportNothing() {
    QFETCH(Qt::MouseButton, button);

    ViewHost host(QSize(200, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->size(), QSize(196, 196));

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    QTest::mouseClick(host.label(), button, {}, QPoint(98, 98));
    QCOMPARE(spy.count(), 0);
}

void TestKeepRatioWidget::pressBesideLabelReportsNothing_data() {
    QTest::addColumn<QPoint>("windowPoint");
    QTest::addColumn<QString>("expectedTarget");

    // View 300 x 200: strips of 50 pixels left and right, the label inside a 2-pixel margin.
    QTest::newRow("left strip") << QPoint(20, 100) << QStringLiteral("view");
    QTest::newRow("right strip") << QPoint(280, 100) << QStringLiteral("view");
    QTest::newRow("margin left of the label") << QPoint(51, 100) << QStringLiteral("inner");
    QTest::newRow("margin above the label") << QPoint(150, 1) << QStringLiteral("inner");
    QTest::newRow("margin below the label") << QPoint(150, 198) << QStringLiteral("inner");
}

void TestKeepRatioWidget::pressBesideLabelReportsNothing() {
    QFETCH(QPoint, windowPoint);
    QFETCH(QString, expectedTarget);

    ViewHost host(QSize(300, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->geometry(), QRect(2, 2, 196, 196));

    // Deliver the press to whatever widget is really under the point.
    QWidget *target = host.window().childAt(windowPoint);
    QWidget *expected = expectedTarget == QLatin1String("view") ? static_cast<QWidget *>(host.view()) : host.inner();
    QCOMPARE(target, expected);

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&host.window(), windowPoint));
    QCOMPARE(spy.count(), 0);
}

void TestKeepRatioWidget::pressOutsideLabelAreaReportsNothing_data() {
    QTest::addColumn<QPointF>("pos");

    // While another button holds the mouse grab, a press can reach the label from anywhere; such a press
    // must not name a cell outside the 64 x 64 grid.
    QTest::newRow("left of the label") << QPointF(-0.5, 10);
    QTest::newRow("above the label") << QPointF(10, -3);
    QTest::newRow("right edge") << QPointF(196, 10);
    QTest::newRow("below the label") << QPointF(10, 250);
    QTest::newRow("far outside") << QPointF(1000, 1000);
}

void TestKeepRatioWidget::pressOutsideLabelAreaReportsNothing() {
    QFETCH(QPointF, pos);

    ViewHost host(QSize(200, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->size(), QSize(196, 196));

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    sendMouse(host.label(), QEvent::MouseButtonPress, pos, Qt::LeftButton);
    QCOMPARE(spy.count(), 0);
}

void TestKeepRatioWidget::doubleClickReportsFirstPressOnly() {
    ViewHost host(QSize(200, 200));
    QVERIFY(host.exposed());
    QTRY_COMPARE(host.label()->size(), QSize(196, 196));

    // The sequence a double click produces: press, release, double click, release.
    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    const QPointF pos(50, 150);
    sendMouse(host.label(), QEvent::MouseButtonPress, pos, Qt::LeftButton);
    sendMouse(host.label(), QEvent::MouseButtonRelease, pos, Qt::LeftButton);
    sendMouse(host.label(), QEvent::MouseButtonDblClick, pos, Qt::LeftButton);
    sendMouse(host.label(), QEvent::MouseButtonRelease, pos, Qt::LeftButton);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0), (QList<QVariant>{16, 48}));
}

void TestKeepRatioWidget::collapsedLabelReportsNothing() {
    // A view smaller than the margins leaves the label with no area; there is no cell to divide into.
    ViewHost host(QSize(3, 3));
    QVERIFY(host.exposed());
    QTRY_VERIFY(host.label()->size().isEmpty());

    QSignalSpy spy(host.view(), &KeepRatioWidget::click_coor);
    sendMouse(host.label(), QEvent::MouseButtonPress, QPointF(0, 0), Qt::LeftButton);
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(TestKeepRatioWidget)
#include "tst_keepratiowidget.moc"
