#include <QLabel>
#include <QSettings>
#include <QTest>

#include "AppSettings.h"
#include "FirstStartHint.h"
#include "WindowFixture.h"

namespace {

FirstStartHint *hintOf(MainWindow &window) {
    return window.form()->widget_display->findChild<FirstStartHint *>(QLatin1String(FirstStartHint::objectNameText));
}

// Where every widget of the window sits, relative to the window.
QList<QRect> layoutOf(MainWindow &window) {
    QList<QRect> rects{window.geometry()};
    for (QWidget *widget : window.findChildren<QWidget *>()) {
        if (!qobject_cast<FirstStartHint *>(widget)) {
            rects << QRect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        }
    }
    return rects;
}

}  // namespace

class TestFirstStartHint : public QObject {
    Q_OBJECT

private slots:
    void showsOnAFreshStoreOverThePicture() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        FirstStartHint *hint = hintOf(window);
        QVERIFY(hint);
        QVERIFY(hint->isVisible());
        QVERIFY2(hint->text().contains(QLatin1String("No current range is set yet")), qPrintable(hint->text()));
        QVERIFY(hint->text().contains(QLatin1String("Settings")));
        QVERIFY(hint->text().contains(QLatin1String("press Setting")));
        // Inside the picture area, above the picture, and clicks go through to the picture.
        QWidget *area = window.form()->widget_display;
        QVERIFY(area->rect().contains(hint->geometry()));
        QVERIFY(hint->width() > 0 && hint->height() > 0);
        QVERIFY(area->childAt(hint->geometry().center()) != hint);
        QVERIFY(hint->testAttribute(Qt::WA_TransparentForMouseEvents));
        // The readout keeps its specified text.
        QCOMPARE(window.form()->label_clicked_current->text(), QStringLiteral(" Current : "));
    }

    void nothingElseMovesWhenItGoes() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        FirstStartHint *hint = hintOf(window);
        QVERIFY(hint->isVisible());
        const QList<QRect> withHint = layoutOf(window);
        FirstStartHint::dismiss(window.form()->widget_display);
        QVERIFY(!hint->isVisible());
        QCoreApplication::processEvents();
        QCOMPARE(layoutOf(window), withHint);
    }

    void followsTheAreaWhenTheWindowGrows() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(1200, 800);
        QWidget *area = window.form()->widget_display;
        FirstStartHint *hint = hintOf(window);
        QTRY_VERIFY((hint->geometry().center() - area->rect().center()).manhattanLength() <= 1);
        QVERIFY(area->rect().contains(hint->geometry()));
    }

    void goesWithTheFirstSuccessfulSetting() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        FirstStartHint *hint = hintOf(window);
        QVERIFY(hint->isVisible());
        QTRY_VERIFY(WindowFixture::connectWindow(window));
        QVERIFY(hint->isVisible());  // connecting applies no setting
        WindowFixture::applySetting(window, window.form()->radioButton_100, "10", "-5", "0", "0");
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting successful."));
        QVERIFY(!hint->isVisible());
    }

    void staysAwayOnceASettingWasStored() {
        WindowFixture fixture;
        {
            MainWindow window(fixture.usbLink());
            QTRY_VERIFY(WindowFixture::connectWindow(window));
            WindowFixture::applySetting(window, window.form()->radioButton_100, "10", "-5", "0", "0");
            QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting successful."));
        }
        QVERIFY(FirstStartHint::settingStored());
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!hintOf(window)->isVisible());
    }

    void comesBackWhenTheLastRunAppliedNoSetting() {
        WindowFixture fixture;
        { MainWindow window(fixture.usbLink()); }  // the store now holds the window's keys, but no setting
        QSettings settings(AppSettings::organisation, AppSettings::application);
        settings.beginGroup(AppSettings::group);
        QVERIFY(settings.contains(QStringLiteral("radioButton_500")));
        QCOMPARE(settings.value(QStringLiteral("Integraltime")).toDouble(), 0.0);
        QVERIFY(!FirstStartHint::settingStored());
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(hintOf(window)->isVisible());
    }

    void aFailedSettingKeepsIt() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(WindowFixture::connectWindow(window));
        WindowFixture::applySetting(window, window.form()->radioButton_100, "", "-5", "0", "0");
        QCOMPARE(fixture.lastMessage(), QStringLiteral("input fields are empty"));
        QVERIFY(hintOf(window)->isVisible());
    }
};

QTEST_MAIN(TestFirstStartHint)
#include "tst_firststarthint.moc"
