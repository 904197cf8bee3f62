#include "MainWindow.h"

#include <QHBoxLayout>

#include "ComboBoxDelegate.h"
#include "CommandProtocol.h"
#include "FirstStartHint.h"
#include "FormSettings.h"
#include "KeepRatioWidget.h"
#include "NavigationPanel.h"
#include "SavePage.h"
#include "SettingPage.h"
#include "UserDialogs.h"
#include "VoltageDetails.h"
#include "ui_MainWindow.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr int fpsIntervalMs = 2000;

}  // namespace

MainWindow::MainWindow(UsbFifoLink *link, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_session(link) {
    ui->setupUi(this);
    wireSession();
    m_session.startDiscovery();
    wireControls();
    NavigationPanel::install(ui->listWidget, ui->stackedWidget);
    finishWidgets();
    loadSettings();
    FirstStartHint::install(ui->widget_display);
}

MainWindow::~MainWindow() {
    saveSettings();
    // The session outlives the form by a moment while it stops the worker: nothing it reports may reach it.
    m_session.disconnect(this);
    m_session.disconnect(m_savePage);
    m_session.disconnect(m_settingPage);
    delete ui;
    ui = nullptr;
}

// ---- Construction ----------------------------------------------------------------------------------------

void MainWindow::wireControls() {
    connect(ui->pushButton_maxsize, &QPushButton::clicked, this, &MainWindow::handle_max_size_button_click);
    connect(ui->pushButton_minimize, &QPushButton::clicked, this, &MainWindow::handle_mini_size_button_click);
    connect(ui->pushButton_close, &QPushButton::clicked, this, &MainWindow::handle_close_button_click);
    connect(ui->pushButton_play, &QPushButton::clicked, this, &MainWindow::handle_play_button_click);
    connect(ui->pushButton_Connect, &QPushButton::clicked, this, &MainWindow::handle_connect_button_click);
    connect(ui->pushButton_cali, &QPushButton::clicked, this, &MainWindow::handle_cali_data_click);
    connect(ui->pushButton_full_on, &QPushButton::clicked, this, &MainWindow::handle_set_full_on_click);
    connect(ui->pushButton_full_off, &QPushButton::clicked, this, &MainWindow::handle_set_full_off_click);
    m_fpsTimer = new QTimer(this);
    connect(m_fpsTimer, &QTimer::timeout, this, &MainWindow::updateFPS);
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
    connect(session, &InstrumentSession::captureStarted, this, &MainWindow::showCaptureStarted);
    connect(session, &InstrumentSession::captureStopped, this, &MainWindow::showCaptureStopped);
    connect(session, &InstrumentSession::frameReady, this, &MainWindow::receive_displayImage);
    connect(session, &InstrumentSession::pixelCurrent, this, &MainWindow::handleCellClicked);
    connect(session, &InstrumentSession::fullOnCaptured, this, &MainWindow::handleSetMaxSuccess);
    connect(session, &InstrumentSession::fullOffCaptured, this, &MainWindow::handleSetMinSuccess);
}

void MainWindow::finishWidgets() {
    ui->comboBox->setItemDelegate(new ComboBoxDelegate(ui->comboBox));
    m_savePage = new SavePage(*ui, m_session, this);
    m_settingPage = new SettingPage(*ui, m_session, this);
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

void MainWindow::handle_set_button_click() {
    m_settingPage->applySetting();
}

double MainWindow::selectedCurrentRange() const {
    return m_settingPage->selectedRange();
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

void MainWindow::handle_voltage_about_button_click() {
    // One dialog for the window's lifetime, shown again on every click.
    if (m_voltageDetails == nullptr) {
        m_voltageDetails = new VoltageDetails(this);
    }
    UserDialogs::runModal(*m_voltageDetails);
}

// ---- Settings ----------------------------------------------------------------------------------------------

void MainWindow::loadSettings() {
    double range = m_settingPage->selectedRange();
    m_session.setSettingsSummary(FormSettings::load(*ui, &range));
    m_settingPage->setSelectedRange(range);
    // What the summary describes, for the settings an HDF5 file records before the first Set.
    InstrumentSession::Setting described;
    described.rangeNa = range;
    described.positive = ui->checkBox_positive->isChecked();
    described.von = ui->lineEdit_von->text();
    described.voff = ui->lineEdit_voff->text();
    described.vbias1 = ui->lineEdit_vc->text();
    described.vbias2 = ui->lineEdit_vd->text();
    m_session.describeSetting(described);
}

void MainWindow::saveSettings() {
    FormSettings::save(*ui);
}
