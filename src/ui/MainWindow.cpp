#include "MainWindow.h"

#include <cmath>

#include <QHBoxLayout>
#include <QListWidgetItem>
#include <QSettings>

#include "AppSettings.h"
#include "ComboBoxDelegate.h"
#include "CommandProtocol.h"
#include "KeepRatioWidget.h"
#include "LinkFactory.h"
#include "UserDialogs.h"
#include "VoltageDetails.h"
#include "ui_MainWindow.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr int fpsIntervalMs = 2000;

struct NavigationEntry {
    const char *text;
    const char *normalIcon;
    const char *selectedIcon;
};

constexpr std::array<NavigationEntry, 5> navigation{{
    {"System", ":/image/image_resource/control_1.png", ":/image/image_resource/control_2.png"},
    {"Settings", ":/image/image_resource/current_1.png", ":/image/image_resource/current_2.png"},
    {"Display", ":/image/image_resource/calibration_1.png", ":/image/image_resource/calibration_2.png"},
    {"Save", ":/image/image_resource/save_table.png", ":/image/image_resource/save_table_1.png"},
    {"About", ":/image/image_resource/about_1.png", ":/image/image_resource/about_2.png"},
}};

// A typed current range; text that is not a finite number reads as 0.
double rangeFromText(const QString &text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

// The same picture in every mode: the style must not tint the selected row's white glyph.
QIcon navigationIcon(const char *path) {
    QIcon icon(QString::fromLatin1(path));
    icon.addFile(QString::fromLatin1(path), QSize(), QIcon::Selected);
    return icon;
}

}  // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_session(LinkFactory::instance()) {
    ui->setupUi(this);
    wireSession();
    m_session.startDiscovery();
    wireControls();
    fillNavigationList();
    finishWidgets();
    loadSettings();
}

MainWindow::~MainWindow() {
    saveSettings();
    // The session outlives the form by a moment while it stops the worker: nothing it reports may reach it.
    m_session.disconnect(this);
    delete ui;
    ui = nullptr;
}

// ---- Construction ----------------------------------------------------------------------------------------

void MainWindow::wireControls() {
    connect(ui->pushButton_maxsize, &QPushButton::clicked, this, &MainWindow::handle_max_size_button_click);
    connect(ui->pushButton_minimize, &QPushButton::clicked, this, &MainWindow::handle_mini_size_button_click);
    connect(ui->pushButton_close, &QPushButton::clicked, this, &MainWindow::handle_close_button_click);
    connect(ui->pushButton_play, &QPushButton::clicked, this, &MainWindow::handle_play_button_click);
    connect(ui->pushButton_savepath, &QPushButton::clicked, this, &MainWindow::handle_save_path_button_click);
    connect(ui->pushButton_Connect, &QPushButton::clicked, this, &MainWindow::handle_connect_button_click);
    connect(ui->pushButton_save, &QPushButton::clicked, this, &MainWindow::handle_save_data_click);
    connect(ui->pushButton_cali, &QPushButton::clicked, this, &MainWindow::handle_cali_data_click);
    connect(ui->pushButton_set, &QPushButton::clicked, this, &MainWindow::handle_set_button_click);
    connect(ui->pushButton_full_on, &QPushButton::clicked, this, &MainWindow::handle_set_full_on_click);
    connect(ui->pushButton_full_off, &QPushButton::clicked, this, &MainWindow::handle_set_full_off_click);
    connect(ui->checkBox_positive, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked && ui->checkBox_negative->isChecked()) {
            ui->checkBox_negative->setChecked(false);
        }
    });
    connect(ui->checkBox_negative, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked && ui->checkBox_positive->isChecked()) {
            ui->checkBox_positive->setChecked(false);
        }
    });
    m_fpsTimer = new QTimer(this);
    connect(m_fpsTimer, &QTimer::timeout, this, &MainWindow::updateFPS);
    for (QRadioButton *button : {ui->radioButton_optional_gear, ui->radioButton_500, ui->radioButton_100,
                                 ui->radioButton_10, ui->radioButton_1}) {
        connect(button, &QRadioButton::toggled, this, &MainWindow::handle_radio_button_toggled);
    }
    connect(ui->pushButton_rotate, &QPushButton::clicked, this, &MainWindow::handle_display_image_rotate);
    connect(ui->pushButton_mirrorHorizontal, &QPushButton::clicked, this,
            &MainWindow::handle_display_image_mirrorHorizontal);
    connect(ui->pushButton_mirrorVertical, &QPushButton::clicked, this,
            &MainWindow::handle_display_image_mirrorVertical);
    connect(ui->pushButton_voltage_about, &QPushButton::clicked, this, &MainWindow::handle_voltage_about_button_click);
}

void MainWindow::wireSession() {
    InstrumentSession *session = &m_session;
    connect(session, &InstrumentSession::discoveryStarted, this, [this] { ui->comboBox->clear(); });
    connect(session, &InstrumentSession::devicesListed, this, [this](const QStringList &serials) {
        ui->comboBox->clear();
        ui->comboBox->addItems(serials);
    });
    connect(session, &InstrumentSession::deviceInfoPending, this, [this](int seconds) {
        ui->comboBox->clear();
        ui->comboBox->addItem(QStringLiteral("Read information: %1 s").arg(seconds));
    });
    connect(session, &InstrumentSession::discoveryFailed, this, &MainWindow::showDiscoveryFailure);
    connect(session, &InstrumentSession::connectFinished, this, &MainWindow::showConnectOutcome);
    connect(session, &InstrumentSession::disconnected, this, &MainWindow::showDisconnected);
    connect(session, &InstrumentSession::batteryRead, this, &MainWindow::showBattery);
    connect(session, &InstrumentSession::settingFinished, this, [](bool acknowledged) {
        UserDialogs::inform(acknowledged ? QStringLiteral("Setting successful.") : QStringLiteral("Setting failed"));
    });
    connect(session, &InstrumentSession::captureStarted, this, &MainWindow::showCaptureStarted);
    connect(session, &InstrumentSession::captureStopped, this, &MainWindow::showCaptureStopped);
    connect(session, &InstrumentSession::frameReady, this, &MainWindow::receive_displayImage);
    connect(session, &InstrumentSession::pixelCurrent, this, &MainWindow::handleCellClicked);
    connect(session, &InstrumentSession::fullOnCaptured, this, &MainWindow::handleSetMaxSuccess);
    connect(session, &InstrumentSession::fullOffCaptured, this, &MainWindow::handleSetMinSuccess);
    connect(session, &InstrumentSession::saveProgress, this, &MainWindow::handleSaveMessage);
    connect(session, &InstrumentSession::saveFailed, this, &MainWindow::handleSaveFailed);
}

void MainWindow::fillNavigationList() {
    for (const NavigationEntry &entry : navigation) {
        auto *item = new QListWidgetItem(navigationIcon(entry.normalIcon), QString::fromLatin1(entry.text));
        QFont font = item->font();
        font.setBold(true);
        item->setFont(font);
        ui->listWidget->addItem(item);
    }
    ui->listWidget->setFocusPolicy(Qt::NoFocus);
    ui->listWidget->setCurrentRow(0);
    ui->stackedWidget->setCurrentIndex(0);
    ui->listWidget->currentItem()->setIcon(navigationIcon(navigation[0].selectedIcon));
    connect(ui->listWidget, &QListWidget::currentRowChanged, ui->stackedWidget, &QStackedWidget::setCurrentIndex);
    connect(
        ui->listWidget, &QListWidget::itemSelectionChanged, ui->listWidget,
        [list = ui->listWidget] {
            for (int i = 0; i < list->count() && i < static_cast<int>(navigation.size()); ++i) {
                QListWidgetItem *item = list->item(i);
                const NavigationEntry &entry = navigation[static_cast<std::size_t>(i)];
                item->setIcon(navigationIcon(item->isSelected() ? entry.selectedIcon : entry.normalIcon));
            }
        },
        Qt::DirectConnection);
}

void MainWindow::finishWidgets() {
    ui->comboBox->setItemDelegate(new ComboBoxDelegate(ui->comboBox));
    ui->comboBox_saveframes->setItemDelegate(new ComboBoxDelegate(ui->comboBox_saveframes));
    ui->comboBox_saveframes->addItems({"1", "5", "30", "50", "100", "500", "1000"});
    ui->comboBox_saveframes->setCompleter(nullptr);
    ui->widget_stop->hide();
    ui->widget_play->hide();
    ui->widget_bat->hide();
    ui->widget_range->hide();
    m_imageViewLayout = new QHBoxLayout();
    m_imageView = new KeepRatioWidget();
    m_imageViewLayout->addWidget(m_imageView);
    ui->widget_display->setLayout(m_imageViewLayout);
    ui->pushButton_full_on->setEnabled(false);
    ui->pushButton_full_off->setEnabled(false);
    connect(m_imageView, &KeepRatioWidget::click_coor, this, &MainWindow::SetClickedLocate);
}

// ---- Discovery and connection ----------------------------------------------------------------------------

void MainWindow::showDiscoveryFailure(InstrumentSession::DiscoveryFailure failure) {
    switch (failure) {
        case InstrumentSession::DiscoveryFailure::NoDevices:
            ui->comboBox->addItem(QStringLiteral("No Devices"));
            return;
        case InstrumentSession::DiscoveryFailure::ListFailed:
            ui->comboBox->addItem(QStringLiteral("Failed to create device list"));
            return;
        case InstrumentSession::DiscoveryFailure::InfoFailed:
            ui->comboBox->addItem(QStringLiteral("Error retrieving device info"));
            return;
        case InstrumentSession::DiscoveryFailure::Incomplete:
            ui->comboBox->addItem(QStringLiteral("Incomplete device info"));
            return;
    }
}

void MainWindow::handle_connect_button_click() {
    if (m_session.isCapturing()) {
        UserDialogs::inform(QStringLiteral("Device is running"));
        return;
    }
    if (m_session.isConnected()) {
        m_session.disconnectInstrument();
        return;
    }
    m_session.connectInstrument();
}

void MainWindow::showConnectOutcome(InstrumentSession::ConnectOutcome outcome) {
    if (outcome != InstrumentSession::ConnectOutcome::Connected) {
        UserDialogs::inform(QStringLiteral("No Device Connected"));
        if (outcome == InstrumentSession::ConnectOutcome::HandshakeFailed) {
            showConnected(false);
        }
        return;
    }
    showConnected(true);
}

void MainWindow::showConnected(bool connected) {
    ui->pushButton_Connect->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    ui->widget_play->setVisible(connected);
    ui->widget_bat->setVisible(connected);
}

void MainWindow::showDisconnected(InstrumentSession::DisconnectReason reason) {
    showConnected(false);
    switch (reason) {
        case InstrumentSession::DisconnectReason::Requested:
            return;
        case InstrumentSession::DisconnectReason::Removed:
            UserDialogs::inform(QStringLiteral("Device disconnected."));
            return;
        case InstrumentSession::DisconnectReason::ReadFailure:
            UserDialogs::inform(QStringLiteral("Error Occurred."));
            return;
    }
}

void MainWindow::showBattery(int code) {
    ui->widget_31->setFixedSize(CommandProtocol::batteryGaugeWidth(code), 10);
}

void MainWindow::handleDeviceChange() {
    m_session.handleDeviceChange();
}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message, qintptr *result) {
#ifdef Q_OS_WIN
    if (eventType == "windows_generic_MSG") {
        const MSG *msg = static_cast<const MSG *>(message);
        constexpr WPARAM deviceArrival = 0x8000;
        constexpr WPARAM deviceRemoveComplete = 0x8004;
        if (msg->message == WM_DEVICECHANGE && (msg->wParam == deviceArrival || msg->wParam == deviceRemoveComplete)) {
            handleDeviceChange();
        }
    }
#endif
    return QMainWindow::nativeEvent(eventType, message, result);
}

// ---- Capture -----------------------------------------------------------------------------------------------

void MainWindow::handle_play_button_click() {
    if (!m_session.isConnected()) {
        UserDialogs::inform(QStringLiteral("No Devices Connected."));
        return;
    }
    if (m_session.isCapturing()) {
        m_session.stopCapture();
    } else {
        m_session.startCapture();
    }
}

void MainWindow::setPlayLook(bool capturing) {
    if (capturing) {
        ui->pushButton_play->setStyleSheet(
            "QPushButton { border-image: url(:/image/image_resource/stop.png);margin: 9px;}");
        ui->widget_play->setStyleSheet(
            "QWidget:hover {background-color:rgb(235, 91, 106);margin: 6px;border-radius: "
            "8px;}QWidget{background-color:rgb(208,61,79);margin: 6px;border-radius: 8px;}");
    } else {
        ui->pushButton_play->setStyleSheet(
            "QPushButton { border-image: url(:/image/image_resource/play.png);margin: 9px;}");
        ui->widget_play->setStyleSheet("QWidget:hover {background-color: #9A7741;margin: 4px;border-radius: 8px;}");
    }
}

void MainWindow::showCaptureStarted() {
    setPlayLook(true);
    m_fpsTimer->start(fpsIntervalMs);
    ui->pushButton_set->setEnabled(false);
    ui->pushButton_set->setToolTip(QStringLiteral("Please stop collecting first!"));
}

void MainWindow::showCaptureStopped() {
    m_fpsTimer->stop();
    setPlayLook(false);
    ui->pushButton_set->setEnabled(true);
    ui->pushButton_set->setToolTip(QString());
}

void MainWindow::handle_cali_data_click() {
    if (!m_session.isCapturing()) {
        UserDialogs::inform(QStringLiteral("Please Start capture first!"));
        return;
    }
    const bool switchOn = !m_session.isCalibrationOn();
    m_session.setCalibrationOn(switchOn);
    ui->pushButton_full_on->setEnabled(switchOn);
    ui->pushButton_full_off->setEnabled(switchOn);
    ui->pushButton_cali->setText(switchOn ? QStringLiteral("Close Calibration") : QStringLiteral("Open Calibration"));
}

void MainWindow::handle_set_full_on_click() {
    m_session.requestFullOn();
}

void MainWindow::handle_set_full_off_click() {
    m_session.requestFullOff();
}

void MainWindow::handleSetMaxSuccess() {
    UserDialogs::inform(QStringLiteral("Full on success"));
}

void MainWindow::handleSetMinSuccess() {
    UserDialogs::inform(QStringLiteral("Full off success"));
}

// ---- Range and bias setting --------------------------------------------------------------------------------

std::array<std::pair<QRadioButton *, double>, 4> MainWindow::fixedRangeButtons() const {
    return {{{ui->radioButton_500, 500.0},
             {ui->radioButton_100, 100.0},
             {ui->radioButton_10, 10.0},
             {ui->radioButton_1, 1.0}}};
}

void MainWindow::handle_radio_button_toggled(bool checked) {
    if (!checked) {
        return;
    }
    QObject *button = sender();
    if (button == ui->radioButton_optional_gear) {
        ui->widget_range->show();
        return;
    }
    for (const auto &[radio, range] : fixedRangeButtons()) {
        if (button == radio) {
            ui->widget_range->hide();
            m_selectedCurrentRange = range;
        }
    }
}

void MainWindow::handle_set_button_click() {
    if (m_session.isCapturing()) {
        UserDialogs::inform(QStringLiteral("Setting is not available during data collection."));
        return;
    }
    for (QLineEdit *field : {ui->lineEdit_vc, ui->lineEdit_voff, ui->lineEdit_vd, ui->lineEdit_von}) {
        if (field->text().isEmpty()) {
            UserDialogs::inform(QStringLiteral("input fields are empty"));
            return;
        }
    }
    if (ui->radioButton_optional_gear->isChecked()) {
        m_selectedCurrentRange = rangeFromText(ui->lineEdit_gear->text());
    }
    InstrumentSession::Setting setting;
    setting.rangeNa = m_selectedCurrentRange;
    setting.positive = ui->checkBox_positive->isChecked();
    setting.von = ui->lineEdit_von->text();
    setting.voff = ui->lineEdit_voff->text();
    setting.vbias1 = ui->lineEdit_vc->text();
    setting.vbias2 = ui->lineEdit_vd->text();
    m_session.applySetting(setting);
}

// ---- Display -----------------------------------------------------------------------------------------------

void MainWindow::receive_displayImage(QImage displayImage) {
    if (!m_frameRate.frameArrived()) {
        ui->label_fps->setText(FrameRateMeter::firstFrameReadout());
        return;
    }
    QLabel *picture = m_imageView->label();
    picture->setScaledContents(true);
    picture->setPixmap(QPixmap::fromImage(m_orientation.apply(displayImage)));
}

void MainWindow::updateFPS() {
    ui->label_fps->setText(m_frameRate.takeReadout());
}

void MainWindow::handle_display_image_rotate() {
    m_orientation.rotate();
}

void MainWindow::handle_display_image_mirrorHorizontal() {
    m_orientation.toggleMirrorHorizontal();
}

void MainWindow::handle_display_image_mirrorVertical() {
    m_orientation.toggleMirrorVertical();
}

void MainWindow::SetClickedLocate(int x, int y) {
    ui->label_clicked_locate->setText(QStringLiteral("Coordinate: ( %1 , %2 ) ").arg(x).arg(y));
    m_session.selectPixel(x, y);
}

void MainWindow::handleCellClicked(double current) {
    ui->label_clicked_current->setText(QStringLiteral(" Current : %1 nA ").arg(current, 0, 'f', 4));
}

// ---- Title bar and small dialogs ---------------------------------------------------------------------------

void MainWindow::handle_close_button_click() {
    if (m_session.isCapturing()) {
        UserDialogs::inform(QStringLiteral("Please stop the test first."), UserDialogs::Look::Framed);
        return;
    }
    if (UserDialogs::askYesNo(QStringLiteral("Are you sure you want to exit\uFF1F"), UserDialogs::Look::Framed)) {
        close();
    }
}

void MainWindow::handle_max_size_button_click() {
    const bool restore = isMaximized();
    if (restore) {
        showNormal();
    } else {
        showMaximized();
    }
    ui->pushButton_maxsize->setStyleSheet(QStringLiteral("QPushButton { border-image: "
                                                         "url(:/image/image_resource/%1);\nmargin:7px;}")
                                              .arg(restore ? "Maximize-1.png" : "Maximize-3.png"));
}

void MainWindow::handle_mini_size_button_click() {
    showMinimized();
}

void MainWindow::handle_save_path_button_click() {
    const QString directory = UserDialogs::chooseDirectory(QStringLiteral("Select Directory"));
    if (directory.isEmpty()) {
        UserDialogs::inform(QStringLiteral("Please select a valid path"));
        return;
    }
    ui->lineEdit_savepath->setText(directory);
}

void MainWindow::handle_voltage_about_button_click() {
    // One dialog for the window's lifetime, shown again on every click.
    if (m_voltageDetails == nullptr) {
        m_voltageDetails = new VoltageDetails(this);
    }
    UserDialogs::runModal(*m_voltageDetails);
}

// ---- Saving ------------------------------------------------------------------------------------------------

void MainWindow::handle_save_data_click() {
    InstrumentSession::SaveRequest request;
    request.directory = ui->lineEdit_savepath->text();
    request.name = ui->lineEdit_savename->text();
    request.frames = ui->comboBox_saveframes->currentText().toInt();
    request.data = ui->checkBox_data->isChecked();
    request.pictures = ui->checkBox_picture->isChecked();
    request.video = ui->checkBox_video->isChecked();
    showSaveRefusal(m_session.startSave(request));
}

void MainWindow::showSaveRefusal(InstrumentSession::SaveRefusal refusal) {
    using Refusal = InstrumentSession::SaveRefusal;
    switch (refusal) {
        case Refusal::None:
            return;
        case Refusal::NotCapturing:
            UserDialogs::inform(QStringLiteral("Please start collecting data"));
            return;
        case Refusal::TooManyFrames:
            UserDialogs::inform(QStringLiteral("The input value cannot exceed 1000! "));
            return;
        case Refusal::TooFewFrames:
            UserDialogs::inform(QStringLiteral("The input value cannot be less than 1! "));
            return;
        case Refusal::SaveRunning:
            UserDialogs::inform(QStringLiteral("Please wait until the current save has finished."));
            return;
        case Refusal::NoDirectory:
            UserDialogs::inform(QStringLiteral("Please select a valid path"));
            return;
    }
}

void MainWindow::handleSaveMessage(int frames, int total) {
    const double percent = static_cast<double>(frames) / total * 100;
    ui->progressBar->setValue(static_cast<int>(percent));
    ui->label_savestate->setText(QString::number(std::round(percent), 'g', 6) + QStringLiteral("%"));
    if (percent == 100) {
        ui->label_savestate->setText(QStringLiteral("Save success!"));
    }
}

void MainWindow::handleSaveFailed(QString message) {
    ui->label_savestate->setText(QStringLiteral("Save failed"));
    UserDialogs::inform(message);
}

// ---- Settings ----------------------------------------------------------------------------------------------

void MainWindow::loadSettings() {
    QSettings settings(AppSettings::organisation, AppSettings::application);
    settings.beginGroup(AppSettings::group);
    const auto isTrue = [&settings](const QString &key) { return settings.value(key).toString() == "true"; };

    ui->comboBox_saveframes->setCurrentText(QString::number(settings.value(AppSettings::keys::saveFrames, 0).toInt()));
    ui->lineEdit_savepath->setText(settings.value(AppSettings::keys::saveDirectory).toString());
    ui->lineEdit_savename->setText(settings.value(AppSettings::keys::saveNames).toString());
    ui->lineEdit_von->setText(settings.value("lineEdit_von").toString());
    ui->lineEdit_voff->setText(settings.value("lineEdit_voff").toString());
    ui->lineEdit_vc->setText(settings.value("lineEdit_vc").toString());
    ui->lineEdit_vd->setText(settings.value("lineEdit_vd").toString());
    ui->lineEdit_gear->setText(settings.value("lineEdit_gear").toString());

    for (const auto &[radio, range] : fixedRangeButtons()) {
        if (isTrue(radio->objectName())) {
            radio->setChecked(true);
            m_selectedCurrentRange = range;
        }
    }
    QString summary =
        InstrumentSession::settingsSummary(m_selectedCurrentRange, ui->lineEdit_vc->text(), ui->lineEdit_vd->text(),
                                           ui->lineEdit_von->text(), ui->lineEdit_voff->text());
    if (isTrue(ui->checkBox_negative->objectName())) {
        ui->checkBox_negative->setChecked(true);
        summary += QStringLiteral("Model : negative");
    }
    if (isTrue(ui->checkBox_positive->objectName())) {
        ui->checkBox_positive->setChecked(true);
        summary += QStringLiteral("Model : positive");
    }
    m_session.setSettingsSummary(summary);
    if (isTrue(ui->radioButton_optional_gear->objectName())) {
        ui->radioButton_optional_gear->setChecked(true);
    }
    for (QCheckBox *box : {ui->checkBox_data, ui->checkBox_picture, ui->checkBox_video}) {
        if (isTrue(box->objectName())) {
            box->setChecked(true);
        }
    }
    settings.endGroup();
    ui->lineEdit_savepath->setCursorPosition(0);
    ui->lineEdit_savename->setCursorPosition(0);
}

void MainWindow::saveSettings() {
    QSettings settings(AppSettings::organisation, AppSettings::application);
    settings.beginGroup(AppSettings::group);
    settings.setValue(AppSettings::keys::saveFrames, ui->comboBox_saveframes->currentText().toInt());
    settings.setValue(AppSettings::keys::saveDirectory, ui->lineEdit_savepath->text());
    settings.setValue(AppSettings::keys::saveNames, ui->lineEdit_savename->text());
    for (QLineEdit *field :
         {ui->lineEdit_von, ui->lineEdit_voff, ui->lineEdit_vc, ui->lineEdit_vd, ui->lineEdit_gear}) {
        settings.setValue(field->objectName(), field->text());
    }
    for (QAbstractButton *button : std::initializer_list<QAbstractButton *>{
             ui->radioButton_500, ui->radioButton_100, ui->radioButton_10, ui->radioButton_1,
             ui->radioButton_optional_gear, ui->checkBox_positive, ui->checkBox_negative, ui->checkBox_data,
             ui->checkBox_picture, ui->checkBox_video}) {
        settings.setValue(button->objectName(), button->isChecked());
    }
    settings.endGroup();
}
