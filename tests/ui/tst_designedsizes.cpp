#include <QFontDatabase>
#include <QFontInfo>
#include <QTest>

#include "VoltageDetails.h"
#include "WindowFixture.h"

namespace {

// The forms are laid out for Arial; Liberation Sans (fonts-liberation2) has the same metrics.
bool arialMetricFont(QString *family) {
    const QFontInfo info(QFont(QStringLiteral("Arial")));
    *family = info.family();
    return info.family() == QLatin1String("Arial") || info.family() == QLatin1String("Liberation Sans");
}

}  // namespace

class TestDesignedSizes : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QString family;
        if (!arialMetricFont(&family)) {
            QSKIP(qPrintable(QStringLiteral("No Arial-metric font installed (Arial resolves to \"%1\"); install "
                                            "fonts-liberation2 to check the designed sizes")
                                 .arg(family)));
        }
    }

    // As the window opens it (its parent's style sheet gives the dialog the forms' Arial).
    void helpDialogOpensAt1082x584() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        WindowFixture::press(window, window.form()->pushButton_voltage_about);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("VoltageDetails"));
        auto *dialog = window.findChild<VoltageDetails *>();
        QVERIFY(dialog);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QCOMPARE(dialog->size(), QSize(1082, 584));
        QVERIFY2(dialog->minimumSizeHint().height() <= 584,
                 qPrintable(QStringLiteral("the layout needs %1 px").arg(dialog->minimumSizeHint().height())));
    }

    // The form's designed size (MainWindow.ui): 840 x 523.
    void mainWindowOpensAtItsDesignedSize() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.height(), 523);
        QCOMPARE(window.width(), 840);
    }
};

QTEST_MAIN(TestDesignedSizes)
#include "tst_designedsizes.moc"
