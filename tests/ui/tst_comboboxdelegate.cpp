#include <QAbstractItemView>
#include <QComboBox>
#include <QStandardItemModel>
#include <QTest>

#include "ComboBoxDelegate.h"

class TestComboBoxDelegate : public QObject {
    Q_OBJECT

private slots:
    void rowHeightIsFixed_data();
    void rowHeightIsFixed();
    void comboBoxRowsAreTwentyPixelsHigh();
};

void TestComboBoxDelegate::rowHeightIsFixed_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pointSize");

    QTest::newRow("short text, small font") << QStringLiteral("1") << 7;
    QTest::newRow("serial number, normal font") << QStringLiteral("VK64-000123") << 10;
    QTest::newRow("large font") << QStringLiteral("1000") << 36;
    QTest::newRow("two lines") << QStringLiteral("first\nsecond") << 12;
    QTest::newRow("empty") << QString() << 10;
}

void TestComboBoxDelegate::rowHeightIsFixed() {
    QFETCH(QString, text);
    QFETCH(int, pointSize);

    QStandardItemModel model;
    model.appendRow(new QStandardItem(text));
    QFont font;
    font.setPointSize(pointSize);
    model.item(0)->setFont(font);
    const QModelIndex index = model.index(0, 0);

    QStyleOptionViewItem option;
    option.font = font;
    option.fontMetrics = QFontMetrics(font);

    ComboBoxDelegate delegate;
    QItemDelegate plain;
    const QSize hint = delegate.sizeHint(option, index);
    QCOMPARE(hint.height(), 20);
    // Only the height is replaced; the width is the plain delegate's.
    QCOMPARE(hint.width(), plain.sizeHint(option, index).width());
}

void TestComboBoxDelegate::comboBoxRowsAreTwentyPixelsHigh() {
    QComboBox combo;
    QFont big = combo.font();
    big.setPointSize(28);
    combo.setFont(big);
    combo.addItems({QStringLiteral("1"), QStringLiteral("5"), QStringLiteral("30"), QStringLiteral("1000")});

    auto *delegate = new ComboBoxDelegate(&combo);
    combo.setItemDelegate(delegate);
    QCOMPARE(delegate->parent(), &combo);
    QCOMPARE(combo.view()->itemDelegate(), delegate);

    for (int row = 0; row < combo.count(); ++row) {
        QCOMPARE(combo.view()->sizeHintForRow(row), 20);
    }
}

QTEST_MAIN(TestComboBoxDelegate)
#include "tst_comboboxdelegate.moc"
