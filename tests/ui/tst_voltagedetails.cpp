#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>

#include "VoltageDetails.h"

namespace {

QLabel *labelNamed(const QWidget &dialog, const QString &name) {
    return dialog.findChild<QLabel *>(name);
}

// The pixel colour a label shows at a spot where no text is drawn.
QColor backgroundOf(QLabel *label) {
    return label->grab().toImage().pixelColor(1, 1);
}

}  // namespace

class TestVoltageDetails : public QObject {
    Q_OBJECT

private slots:
    void init();
    void opensWithSizeAndTitle();
    void tableCells_data();
    void tableCells();
    void richTextCellsAreOneParagraph_data();
    void richTextCellsAreOneParagraph();
    void headingsAndDiagrams();
    void diagramPicturesAreBundled();
};

void TestVoltageDetails::init() {
    // A style sheet the style cannot parse only warns; make that a failure here.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("style ?sheet"), QRegularExpression::CaseInsensitiveOption));
}

void TestVoltageDetails::opensWithSizeAndTitle() {
    VoltageDetails dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("VoltageDetails"));
    QCOMPARE(dialog.size(), QSize(1082, 584));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("VoltageDetails"));
    QVERIFY(!dialog.isModal());  // made modal only while it runs

    QWidget parent;
    auto *child = new VoltageDetails(&parent);
    QCOMPARE(child->parentWidget(), &parent);
}

void TestVoltageDetails::tableCells_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");

    QTest::newRow("label") << "label" << 0 << 0 << "  Voltage    ";
    QTest::newRow("label_2") << "label_2" << 0 << 1 << "Function";
    QTest::newRow("label_3") << "label_3" << 0 << 2 << "Suggest";
    QTest::newRow("label_4") << "label_4" << 1 << 0 << "  Vbias1";
    QTest::newRow("label_5") << "label_5" << 1 << 1 << "Bias voltage applied on the \ncathode node of PD";
    QTest::newRow("label_7") << "label_7" << 2 << 0 << "  Vbias2";
    QTest::newRow("label_8") << "label_8" << 2 << 1 << "Reserved bias voltage";
    QTest::newRow("label_13") << "label_13" << 2 << 2 << "Recommended value = Vbias1";
    QTest::newRow("label_9") << "label_9" << 3 << 0 << "  Von";
    QTest::newRow("label_14") << "label_14" << 3 << 1 << "Select  voltage of TFT";
    QTest::newRow("label_10") << "label_10" << 4 << 0 << "  Voff";
    QTest::newRow("label_16") << "label_16" << 4 << 1 << "Non-select voltage of TFT";
}

void TestVoltageDetails::tableCells() {
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, text);

    VoltageDetails dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QLabel *label = labelNamed(dialog, name);
    QVERIFY(label);
    QCOMPARE(label->text(), text);

    auto *grid = dialog.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
    QVERIFY(grid);
    int gridRow = -1;
    int gridColumn = -1;
    int rowSpan = 0;
    int columnSpan = 0;
    grid->getItemPosition(grid->indexOf(label), &gridRow, &gridColumn, &rowSpan, &columnSpan);
    QCOMPARE(gridRow, row);
    QCOMPARE(gridColumn, column);

    // Rows 0, 2 and 4 are shaded; rows 0 and 2 are at least 30 pixels high, the others at least 60.
    const bool shaded = row % 2 == 0;
    if (shaded) {
        QCOMPARE(backgroundOf(label), QColor(0xDD, 0xDD, 0xDD));
    } else {
        QVERIFY(backgroundOf(label) != QColor(0xDD, 0xDD, 0xDD));
    }
    QVERIFY2(label->height() >= (row == 0 || row == 2 ? 30 : 60), qPrintable(QString::number(label->height())));
    QCOMPARE(label->font().bold(), row == 0);
}

void TestVoltageDetails::richTextCellsAreOneParagraph_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("sentence");

    QTest::newRow("label_6") << "label_6" << 1 << "1T0C: Vbias1 must be postive value, PD current is related to Vbias1";
    QTest::newRow("label_15") << "label_15" << 3
                              << "1T0C: Range is from 0V to 15V and 15V is recommended for initial setting";
    QTest::newRow("label_17") << "label_17" << 4
                              << "1T0C: Range is from 0V to -15V and -15V is recommended for initial setting";
}

void TestVoltageDetails::richTextCellsAreOneParagraph() {
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(QString, sentence);

    VoltageDetails dialog;
    QLabel *label = labelNamed(dialog, name);
    QVERIFY(label);
    QCOMPARE(label->text(), "<html><head/><body><p>" + sentence + "</p></body></html>");
    QVERIFY(Qt::mightBeRichText(label->text()));

    auto *grid = dialog.findChild<QGridLayout *>(QStringLiteral("gridLayout"));
    int gridRow = -1;
    int gridColumn = -1;
    int span = 0;
    grid->getItemPosition(grid->indexOf(label), &gridRow, &gridColumn, &span, &span);
    QCOMPARE(gridRow, row);
    QCOMPARE(gridColumn, 2);
}

void TestVoltageDetails::headingsAndDiagrams() {
    VoltageDetails dialog;
    QCOMPARE(labelNamed(dialog, QStringLiteral("label_24"))->text(), QStringLiteral("Description:"));
    QCOMPARE(labelNamed(dialog, QStringLiteral("label_25"))->text(), QStringLiteral("Diagram:"));
    QCOMPARE(labelNamed(dialog, QStringLiteral("label_6"))->alignment(), Qt::AlignLeft | Qt::AlignVCenter);

    QLabel *left = labelNamed(dialog, QStringLiteral("label_22"));
    QLabel *right = labelNamed(dialog, QStringLiteral("label_23"));
    QVERIFY(left && right);
    QVERIFY(left->text().isEmpty() && right->text().isEmpty());
    QCOMPARE(left->maximumSize(), QSize(378, 210));
    QCOMPARE(right->maximumSize(), QSize(278, 210));
    QVERIFY(left->styleSheet().contains(QStringLiteral(":/image/image_resource/v1.png")));
    QVERIFY(right->styleSheet().contains(QStringLiteral(":/image/image_resource/v2.png")));
}

void TestVoltageDetails::diagramPicturesAreBundled() {
    QVERIFY(QFile::exists(QStringLiteral(":/image/image_resource/v1.png")));
    QVERIFY(QFile::exists(QStringLiteral(":/image/image_resource/v2.png")));

    // The diagrams are actually drawn: the left one is not a blank area once shown.
    VoltageDetails dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QLabel *left = labelNamed(dialog, QStringLiteral("label_22"));
    QVERIFY(!left->size().isEmpty());
    const QImage shot = left->grab().toImage();
    const QColor first = shot.pixelColor(0, 0);
    bool varied = false;
    for (int y = 0; y < shot.height() && !varied; y += 3) {
        for (int x = 0; x < shot.width() && !varied; x += 3) {
            varied = shot.pixelColor(x, y) != first;
        }
    }
    QVERIFY(varied);
}

QTEST_MAIN(TestVoltageDetails)
#include "tst_voltagedetails.moc"
