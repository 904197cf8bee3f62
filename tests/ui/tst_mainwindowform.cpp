#include <QAbstractButton>
#include <QFile>
#include <QGridLayout>
#include <QMainWindow>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include "ui_MainWindow.h"

namespace {

// The window with its form set up, as the controller receives it.
struct FormFixture {
    FormFixture() { ui.setupUi(&window); }

    template <typename T = QWidget>
    T *find(const QString &name) const {
        return window.findChild<T *>(name);
    }

    QMainWindow window;
    Ui::MainWindow ui;
};

QString textOf(const QWidget *widget) {
    return widget->property("text").toString();
}

// Colour a button shows a few pixels below its top edge, clear of its text and rounded corners.
QColor faceOf(QWidget *button) {
    const QImage shot = button->grab().toImage();
    return shot.pixelColor(shot.width() / 2, 3);
}

}  // namespace

class TestMainWindowForm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void windowProperties();
    void widgetsByName_data();
    void widgetsByName();
    void initialStates();
    void stackedPagesInOrder();
    void voltageGrid_data();
    void voltageGrid();
    void titleStripIsFortyPixelsHigh();
    void windowCannotBeNarrowerThanMinimum();
    void disabledButtonsLookGrey_data();
    void disabledButtonsLookGrey();
    void styleSheetPicturesAreBundled();
};

void TestMainWindowForm::init() {
    // A style sheet the style cannot parse only warns; make that a failure here.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("style ?sheet"), QRegularExpression::CaseInsensitiveOption));
}

void TestMainWindowForm::windowProperties() {
    FormFixture form;
    QCOMPARE(form.window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(form.window.size(), QSize(840, 523));
    QCOMPARE(form.window.minimumSize(), QSize(840, 0));
    QCOMPARE(form.window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(form.window.styleSheet(), QStringLiteral("color:black;\nfont-family: 'Arial';"));
    QCOMPARE(form.window.centralWidget(), form.ui.centralwidget);
    QCOMPARE(form.ui.centralwidget->objectName(), QStringLiteral("centralwidget"));

    // A window that already has a name keeps it.
    QMainWindow named;
    named.setObjectName(QStringLiteral("Named"));
    Ui::MainWindow ui;
    ui.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("Named"));
}

void TestMainWindowForm::widgetsByName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");

    const auto row = [](const char *name, const char *className, const QString &text = QString()) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(className) << text;
    };
    // Title strip
    row("widget_title", "QWidget");
    row("label", "QLabel");
    row("label_8", "QLabel", "VANTIKO");
    row("label_16", "QLabel");
    row("label_sn", "QLabel");
    row("widget_play", "QWidget");
    row("pushButton_play", "QPushButton");
    row("widget_stop", "QWidget");
    row("widget_bat", "QWidget");
    row("widget_battery", "QWidget");
    row("widget_31", "QWidget");
    row("label_18", "QLabel");
    row("label_bat", "QLabel");
    row("pushButton_minimize", "QPushButton");
    row("pushButton_maxsize", "QPushButton");
    row("pushButton_close", "QPushButton");
    // Navigation and display panels
    row("widget_3", "QWidget");
    row("label_2", "QLabel");
    row("listWidget", "QListWidget");
    row("label_current_state", "QLabel");
    row("stackedWidget", "QStackedWidget");
    row("widget_display", "QLabel");
    row("label_fps", "QLabel", "FPS : ");
    row("label_clicked_locate", "QLabel", "Coordinate : ( 0 , 0 ) ");
    row("label_clicked_current", "QLabel", " Current : ");
    // System
    row("comboBox", "QComboBox");
    row("pushButton_Connect", "QPushButton", "Connect");
    // Settings
    row("label_4", "QLabel", "Current");
    row("radioButton_500", "QRadioButton", "500nA");
    row("radioButton_100", "QRadioButton", "100nA");
    row("radioButton_10", "QRadioButton", "10nA");
    row("radioButton_1", "QRadioButton", "1nA");
    row("radioButton_optional_gear", "QRadioButton", "Optional gear");
    row("widget_range", "QWidget");
    row("label_3", "QLabel", "Range ");
    row("lineEdit_gear", "QLineEdit");
    row("label_41", "QLabel", "(nA)");
    row("label_6", "QLabel", "Voltage");
    row("pushButton_voltage_about", "QPushButton");
    row("lineEdit_vc", "QLineEdit");
    row("lineEdit_vd", "QLineEdit");
    row("lineEdit_von", "QLineEdit");
    row("lineEdit_voff", "QLineEdit");
    row("label_7", "QLabel", "Model");
    row("checkBox_positive", "QCheckBox", "positive");
    row("checkBox_negative", "QCheckBox", "negative");
    row("pushButton_set", "QPushButton", "Setting");
    // Display
    row("label_5", "QLabel", "Display Mode");
    row("pushButton_rotate", "QPushButton");
    row("pushButton_mirrorHorizontal", "QPushButton");
    row("pushButton_mirrorVertical", "QPushButton");
    row("pushButton_cali", "QPushButton", "Open Calibration");
    row("pushButton_full_on", "QPushButton", "Full-ON");
    row("pushButton_full_off", "QPushButton", "Full-OFF");
    // Save
    row("label_9", "QLabel", "Save Option");
    row("label_29", "QLabel", "Number:");
    row("comboBox_saveframes", "QComboBox");
    row("label_30", "QLabel", "Name:");
    row("lineEdit_savename", "QLineEdit");
    row("label_31", "QLabel", "Path:");
    row("lineEdit_savepath", "QLineEdit");
    row("pushButton_savepath", "QPushButton");
    row("checkBox_data", "QCheckBox", "Data");
    row("checkBox_picture", "QCheckBox", "Picture");
    row("checkBox_video", "QCheckBox", "Video");
    row("checkBox_hdf5", "QCheckBox", "HDF5");
    row("pushButton_save", "QPushButton", "Save");
    row("progressBar", "QProgressBar");
    row("label_savestate", "QLabel");
    // About
    row("label_22", "QLabel", "VANTIKO (64*64)");
    row("label_27", "QLabel", "Version 1.0.0");
    row("label_12", "QLabel", "E-mail");
    row("label_13", "QLabel", "Tel");
    row("label_23", "QLabel", "Website");
}

void TestMainWindowForm::widgetsByName() {
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);

    FormFixture form;
    const QList<QWidget *> matches = form.window.findChildren<QWidget *>(name);
    QCOMPARE(matches.size(), 1);
    QWidget *widget = matches.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    // Texts not listed are empty (the progress bar's text is computed, not a form text).
    if (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget)) {
        QCOMPARE(textOf(widget), text);
    }
}

void TestMainWindowForm::initialStates() {
    FormFixture form;
    const Ui::MainWindow &ui = form.ui;

    QVERIFY(ui.radioButton_500->isChecked());
    for (QRadioButton *other :
         {ui.radioButton_100, ui.radioButton_10, ui.radioButton_1, ui.radioButton_optional_gear}) {
        QVERIFY2(!other->isChecked(), qPrintable(other->objectName()));
    }
    // The range buttons exclude each other.
    ui.radioButton_10->click();
    QVERIFY(ui.radioButton_10->isChecked());
    QVERIFY(!ui.radioButton_500->isChecked());

    QVERIFY(ui.checkBox_positive->isChecked());
    QVERIFY(!ui.checkBox_negative->isChecked());
    QVERIFY(ui.checkBox_data->isChecked());
    QVERIFY(!ui.checkBox_picture->isChecked());
    QVERIFY(!ui.checkBox_video->isChecked());
    QVERIFY(!ui.checkBox_hdf5->isChecked());

    QCOMPARE(ui.lineEdit_gear->placeholderText(), QStringLiteral("1~500"));
    QCOMPARE(ui.comboBox->focusPolicy(), Qt::NoFocus);
    QVERIFY(ui.comboBox_saveframes->isEditable());
    QCOMPARE(ui.comboBox_saveframes->focusPolicy(), Qt::StrongFocus);
    QCOMPARE(ui.progressBar->minimum(), 0);
    QCOMPARE(ui.progressBar->value(), 0);
    QVERIFY(!ui.progressBar->isTextVisible());
    QCOMPARE(ui.listWidget->spacing(), 10);
    QCOMPARE(ui.listWidget->count(), 0);
    QCOMPARE(ui.listWidget->currentRow(), -1);

    // The buttons that the controller disables start enabled in the form.
    QVERIFY(ui.pushButton_full_on->isEnabled());
    QVERIFY(ui.pushButton_full_off->isEnabled());
}

void TestMainWindowForm::stackedPagesInOrder() {
    FormFixture form;
    QStackedWidget *stack = form.ui.stackedWidget;
    const QStringList pages = {"page", "page_3", "page_2", "page_5", "page_6"};
    QCOMPARE(stack->count(), pages.size());
    for (int i = 0; i < pages.size(); ++i) {
        QCOMPARE(stack->widget(i)->objectName(), pages.at(i));
    }
    QCOMPARE(stack->currentIndex(), 4);
    QCOMPARE(stack->currentWidget(), form.ui.page_6);

    // Controls sit on their pages.
    QVERIFY(form.ui.page->isAncestorOf(form.ui.pushButton_Connect));
    QVERIFY(form.ui.page_3->isAncestorOf(form.ui.pushButton_set));
    QVERIFY(form.ui.page_2->isAncestorOf(form.ui.pushButton_full_off));
    QVERIFY(form.ui.page_5->isAncestorOf(form.ui.pushButton_save));
    QVERIFY(form.ui.page_6->isAncestorOf(form.ui.label_22));
}

void TestMainWindowForm::voltageGrid_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");

    QTest::newRow("Vbias1") << "label_35"
                            << "lineEdit_vc" << 3 << "Vbias1";
    QTest::newRow("Vbias2") << "label_36"
                            << "lineEdit_vd" << 5 << "Vbias2";
    QTest::newRow("Von") << "label_33"
                         << "lineEdit_von" << 6 << "Von";
    QTest::newRow("Voff") << "label_34"
                          << "lineEdit_voff" << 7 << "Voff";
}

void TestMainWindowForm::voltageGrid() {
    QFETCH(QString, caption);
    QFETCH(QString, edit);
    QFETCH(int, row);
    QFETCH(QString, text);

    FormFixture form;
    QGridLayout *grid = form.ui.gridLayout_2;
    const auto cellOf = [grid](QWidget *widget) {
        int r = -1;
        int c = -1;
        int span = 0;
        grid->getItemPosition(grid->indexOf(widget), &r, &c, &span, &span);
        return QPoint(c, r);
    };
    QCOMPARE(form.find<QLabel>(caption)->text(), text);
    QCOMPARE(cellOf(form.find(caption)), QPoint(0, row));
    QCOMPARE(cellOf(form.find(edit)), QPoint(1, row));
}

void TestMainWindowForm::titleStripIsFortyPixelsHigh() {
    // The frameless window treats the top 40 pixels as its title bar.
    FormFixture form;
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    QCOMPARE(form.ui.widget_title->height(), 40);
    QCOMPARE(form.ui.widget_title->mapTo(&form.window, QPoint(0, 0)), QPoint(1, 1));
}

void TestMainWindowForm::windowCannotBeNarrowerThanMinimum() {
    FormFixture form;
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    form.window.resize(500, 600);
    QCOMPARE(form.window.width(), 840);
    form.window.resize(1000, 600);
    QTRY_COMPARE(form.window.width(), 1000);
}

void TestMainWindowForm::disabledButtonsLookGrey_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("page");

    QTest::newRow("Full-ON") << "pushButton_full_on" << 2;
    QTest::newRow("Full-OFF") << "pushButton_full_off" << 2;
    QTest::newRow("Setting") << "pushButton_set" << 1;
}

void TestMainWindowForm::disabledButtonsLookGrey() {
    QFETCH(QString, name);
    QFETCH(int, page);

    FormFixture form;
    form.ui.stackedWidget->setCurrentIndex(page);
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    auto *button = form.find<QAbstractButton>(name);
    QVERIFY(button->isVisible());

    const QColor grey(0xcd, 0xcd, 0xcd);
    button->setEnabled(false);
    QCOMPARE(faceOf(button), grey);

    button->setEnabled(true);
    const QColor golden = faceOf(button);
    QVERIFY2(golden != grey, qPrintable(golden.name()));
    // #896827 at 80 % opacity: clearly more red than blue.
    QVERIFY2(golden.red() - golden.blue() > 60, qPrintable(golden.name()));
}

void TestMainWindowForm::styleSheetPicturesAreBundled() {
    // Every picture a style sheet names must be in the resource bundle, or the control shows nothing.
    FormFixture form;
    static const QRegularExpression url(QStringLiteral(R"re(url\(\s*"?([^")]+)"?\s*\))re"));
    QSet<QString> pictures;
    for (const QWidget *widget : form.window.findChildren<QWidget *>()) {
        for (const QRegularExpressionMatch &match : url.globalMatch(widget->styleSheet())) {
            pictures.insert(match.captured(1));
        }
    }
    QVERIFY(pictures.contains(QStringLiteral(":/image/image_resource/Shut down-1.png")));
    QVERIFY(pictures.size() >= 15);
    for (const QString &picture : pictures) {
        QVERIFY2(picture.startsWith(QStringLiteral(":/image/image_resource/")), qPrintable(picture));
        QVERIFY2(QFile::exists(picture), qPrintable(picture));
    }
}

QTEST_MAIN(TestMainWindowForm)
#include "tst_mainwindowform.moc"
