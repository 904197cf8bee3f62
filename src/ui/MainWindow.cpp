#include "MainWindow.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>
#include <mutex>

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QListWidgetItem>
#include <QLoggingCategory>
#include <QSettings>
#include <QStringConverter>
#include <QTextStream>

#include "AppSettings.h"
#include "ComboBoxDelegate.h"
#include "CommandProtocol.h"
#include "DeviceMonitor.h"
#include "FirstStartHint.h"
#include "IntegrationSearch.h"
#include "KeepRatioWidget.h"
#include "LinkFactory.h"
#include "LogManager.h"
#include "UsbFifoLink.h"
#include "UserDialogs.h"
#include "VoltageDetails.h"
#include "ui_MainWindow.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

Q_LOGGING_CATEGORY(lcWindow, "vantiko.window")

namespace {

constexpr char instrumentSerial[] = "VANTIKO";
constexpr int batteryIntervalMs = 300000;
constexpr int fpsIntervalMs = 2000;
constexpr int discoveryIntervalMs = 1000;
constexpr int maxDiscoveryTicks = 10;
constexpr int maxSaveFrames = 1000;
// How long a frame still in flight after a stop may take before the window's own exchange cuts it short.
constexpr std::chrono::milliseconds streamingGrace{1000};

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

// Truncates toward zero, saturating where the value leaves the 32-bit range.
int truncatedRange(double range) {
    if (range >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (range <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(range);
}

// The same picture in every mode: the style must not tint the selected row's white glyph.
QIcon navigationIcon(const char *path) {
    QIcon icon(QString::fromLatin1(path));
    icon.addFile(QString::fromLatin1(path), QSize(), QIcon::Selected);
    return icon;
}

QString formatRange(double range) {
    return QString::number(range, 'g', 6);
}

}  // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    m_link = LinkFactory::instance();
    ui->setupUi(this);
    startDiscovery();
    wireControls();
    setUpWorkerThread();
    fillNavigationList();
    finishWidgets();
    loadSettings();
    FirstStartHint::install(ui->widget_display);

    m_deviceMonitor = new DeviceMonitor(m_link, this);
    connect(m_deviceMonitor, &DeviceMonitor::deviceChanged, this, &MainWindow::handleDeviceChange);
}

MainWindow::~MainWindow() {
    saveSettings();
    m_worker.requestShutdown();
    m_workerThread.quit();
    m_workerThread.wait();
    // The worker has ended, so nothing uses the link any more: give the device back.
    if (m_connected) {
        m_link->close(m_handle);
    }
    delete m_deviceMonitor;
    m_deviceMonitor = nullptr;
    delete ui;
}

// ---- Construction ----------------------------------------------------------------------------------------

void MainWindow::wireControls() {
    connect(ui->pushButton_maxsize, SIGNAL(clicked()), this, SLOT(handle_max_size_button_click()));
    connect(ui->pushButton_minimize, SIGNAL(clicked()), this, SLOT(handle_mini_size_button_click()));
    connect(ui->pushButton_close, SIGNAL(clicked()), this, SLOT(handle_close_button_click()));
    connect(ui->pushButton_play, SIGNAL(clicked()), this, SLOT(handle_play_button_click()));
    connect(ui->pushButton_savepath, SIGNAL(clicked()), this, SLOT(handle_save_path_button_click()));
    connect(ui->pushButton_Connect, SIGNAL(clicked()), this, SLOT(handle_connect_button_click()));
    connect(ui->pushButton_save, SIGNAL(clicked()), this, SLOT(handle_save_data_click()));
    connect(ui->pushButton_cali, SIGNAL(clicked()), this, SLOT(handle_cali_data_click()));
    connect(ui->pushButton_set, SIGNAL(clicked()), this, SLOT(handle_set_button_click()));
    connect(ui->pushButton_full_on, SIGNAL(clicked()), this, SLOT(handle_set_full_on_click()));
    connect(ui->pushButton_full_off, SIGNAL(clicked()), this, SLOT(handle_set_full_off_click()));
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
        connect(button, SIGNAL(toggled(bool)), this, SLOT(handle_radio_button_toggled(bool)));
    }
    connect(ui->pushButton_rotate, SIGNAL(clicked()), this, SLOT(handle_display_image_rotate()));
    connect(ui->pushButton_mirrorHorizontal, SIGNAL(clicked()), this, SLOT(handle_display_image_mirrorHorizontal()));
    connect(ui->pushButton_mirrorVertical, SIGNAL(clicked()), this, SLOT(handle_display_image_mirrorVertical()));
    connect(ui->pushButton_voltage_about, SIGNAL(clicked()), this, SLOT(handle_voltage_about_button_click()));
    m_batteryTimer.setInterval(batteryIntervalMs);
    connect(&m_batteryTimer, &QTimer::timeout, this, &MainWindow::getBattery);
}

void MainWindow::setUpWorkerThread() {
    m_worker.moveToThread(&m_workerThread);
    connect(&m_workerThread, &QThread::started, &m_worker, &ReceiverThread::process);
    connect(&m_worker, &ReceiverThread::sendImagetoMain, this, &MainWindow::receive_displayImage);
    connect(&m_worker, &ReceiverThread::errorOccurred, this, &MainWindow::receive_errorOccurred);
    connect(&m_worker, &ReceiverThread::savemessage, this, &MainWindow::handleSaveMessage);
    connect(&m_worker, &ReceiverThread::onCellclicked, this, &MainWindow::handleCellClicked);
    connect(&m_worker, &ReceiverThread::setMaxSuccess, this, &MainWindow::handleSetMaxSuccess);
    connect(&m_worker, &ReceiverThread::setMinSuccess, this, &MainWindow::handleSetMinSuccess);
    connect(&m_worker, &ReceiverThread::saveFailed, this, &MainWindow::handleSaveFailed);
    m_workerThread.start();
    // The worker is built paused already; this keeps it so whatever the thread's timing.
    std::unique_lock lock(m_worker.m_mutex);
    m_worker.m_paused = true;
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

void MainWindow::startDiscovery() {
    ui->comboBox->clear();
    auto *timer = new QTimer(this);
    timer->setInterval(discoveryIntervalMs);
    m_discoveryTicks = 0;
    connect(timer, &QTimer::timeout, this, [this, timer] { discoveryTick(timer); });
    timer->start();
}

void MainWindow::discoveryTick(QTimer *timer) {
    const auto endRun = [timer] {
        timer->stop();
        timer->deleteLater();
    };
    // A failing driver may leave the count unwritten, so it must not start out as "no devices".
    std::uint32_t count = std::numeric_limits<std::uint32_t>::max();
    m_lastStatus = m_link->createDeviceInfoList(&count);
    if (m_lastStatus != ft::Ok || count == 0) {
        ui->comboBox->addItem(count == 0 ? QStringLiteral("No Devices")
                                         : QStringLiteral("Failed to create device list"));
        endRun();
        return;
    }
    std::vector<DeviceInfo> devices;
    m_lastStatus = m_link->getDeviceInfoList(devices, &count);
    if (m_lastStatus != ft::Ok) {
        ui->comboBox->addItem(QStringLiteral("Error retrieving device info"));
        endRun();
        return;
    }
    const bool complete =
        std::all_of(devices.begin(), devices.end(), [](const DeviceInfo &d) { return !d.serialNumber.empty(); });
    ui->comboBox->clear();
    if (complete) {
        for (const DeviceInfo &device : devices) {
            ui->comboBox->addItem(QString::fromStdString(device.serialNumber));
        }
        endRun();
        return;
    }
    ui->comboBox->addItem(QStringLiteral("Read information: %1 s").arg(m_discoveryTicks));
    ++m_discoveryTicks;
    if (m_discoveryTicks > maxDiscoveryTicks) {
        ui->comboBox->addItem(QStringLiteral("Incomplete device info"));
        endRun();
    }
}

void MainWindow::handle_connect_button_click() {
    if (m_capturing) {
        UserDialogs::inform(QStringLiteral("Device is running"));
        return;
    }
    if (m_connected) {
        ui->pushButton_Connect->setText(QStringLiteral("Connect"));
        m_connected = false;
        ui->widget_play->hide();
        ui->widget_bat->hide();
        closeLink(streamingGrace);
        return;
    }
    connectDevice();
}

void MainWindow::connectDevice() {
    ft::Handle handle = nullptr;
    m_lastStatus = m_link->openEx(instrumentSerial, ft::OpenBySerialNumber, &handle);
    if (m_lastStatus != ft::Ok) {
        UserDialogs::inform(QStringLiteral("No Device Connected"));
        return;
    }
    m_handle = handle;
    configureLink();
    const auto &command = CommandProtocol::handshake;
    m_lastStatus = CommandProtocol::writeFrame(*m_link, m_handle, command.data(), command.size());
    if (!CommandProtocol::awaitAcknowledgement(*m_link, m_handle, CommandProtocol::handshakeAck,
                                               CommandProtocol::handshakeBufferSize, CommandProtocol::handshakeWaitMs,
                                               &m_lastStatus)) {
        UserDialogs::inform(QStringLiteral("No Device Connected"));
        ui->pushButton_Connect->setText(QStringLiteral("Connect"));
        closeLink(std::chrono::milliseconds(0));
        showDisconnected();
        return;
    }
    LogManager::logBytes(CommandProtocol::handshakeAck.data(), CommandProtocol::handshakeAck.size());
    ui->pushButton_Connect->setText(QStringLiteral("Disconnect"));
    m_worker.m_link = m_link;
    m_worker.m_handle = m_handle;
    m_connected = true;
    ui->widget_play->show();
    ui->widget_bat->show();
    getBattery();
    m_batteryTimer.start();
}

void MainWindow::configureLink() {
    m_lastStatus = m_link->resetDevice(m_handle);
    m_lastStatus = m_link->purge(m_handle, ft::PurgeRx | ft::PurgeTx);
    m_lastStatus = m_link->setBitMode(m_handle, 0x00, ft::BitModeSyncFifo);
    m_lastStatus = m_link->setUsbParameters(m_handle, 65536, 65536);
    m_lastStatus = m_link->setFlowControl(m_handle, ft::FlowRtsCts, 0, 0);
    m_lastStatus = m_link->setTimeouts(m_handle, 2000, 1000);
}

void MainWindow::closeLink(std::chrono::milliseconds grace) {
    // The worker may still be polling (a frame in flight after a stop, or a device that went away):
    // it leaves its streaming loop before the handle is released.
    m_worker.leaveStreaming(grace);
    m_lastStatus = m_link->close(m_handle);
    m_handle = nullptr;
    m_worker.m_handle = nullptr;
}

void MainWindow::showDisconnected() {
    m_connected = false;
    ui->widget_play->hide();
    ui->widget_bat->hide();
}

void MainWindow::getBattery() {
    // The battery timer keeps running after a connection ends; without a link there is nothing to ask.
    if (!m_connected || m_capturing) {
        return;
    }
    m_worker.leaveStreaming(streamingGrace);
    const std::optional<int> code = CommandProtocol::queryBattery(*m_link, m_handle, &m_lastStatus);
    if (!code) {
        return;
    }
    ui->widget_31->setFixedSize(CommandProtocol::batteryGaugeWidth(*code), 10);
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

void MainWindow::handleDeviceChange() {
    startDiscovery();
    // Only the instrument going away ends the connection; another device coming or going leaves it alone.
    if (m_connected && !instrumentPresent()) {
        runRemovalSequence();
    }
}

bool MainWindow::instrumentPresent() {
    std::uint32_t count = 0;
    if (m_link->createDeviceInfoList(&count) != ft::Ok || count == 0) {
        return false;
    }
    std::vector<DeviceInfo> devices;
    if (m_link->getDeviceInfoList(devices, &count) != ft::Ok) {
        return false;
    }
    return std::any_of(devices.begin(), devices.end(),
                       [](const DeviceInfo &d) { return d.serialNumber == instrumentSerial; });
}

void MainWindow::runRemovalSequence() {
    // The instrument is gone, so no frame will complete: end the capture here rather than wait for errors.
    if (m_capturing) {
        stopCapture();
    }
    ui->pushButton_Connect->setText(QStringLiteral("Connect"));
    showDisconnected();
    closeLink(std::chrono::milliseconds(0));
    UserDialogs::inform(QStringLiteral("Device disconnected."));
}

// ---- Capture -----------------------------------------------------------------------------------------------

void MainWindow::handle_play_button_click() {
    if (!m_connected) {
        UserDialogs::inform(QStringLiteral("No Devices Connected."));
        return;
    }
    if (m_capturing) {
        stopCapture();
    } else {
        startCapture();
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

void MainWindow::startCapture() {
    setPlayLook(true);
    LogManager::logMessage("Start Capture data.");
    m_batteryTimer.stop();
    m_worker.resume();
    const ft::Handle handle = m_worker.m_handle;
    CommandProtocol::writeFrame(*m_link, handle, m_worker.m_startCommand.data(), m_worker.m_startCommand.size());
    QThread::msleep(100);
    CommandProtocol::writeFrame(*m_link, handle, m_worker.m_frameRequest.data(), m_worker.m_frameRequest.size());
    std::uint32_t rx = 0, tx = 0, event = 0;
    m_lastStatus = m_link->getStatus(handle, &rx, &tx, &event);
    m_worker.m_stopAfterFrame = false;
    m_worker.m_capturing = true;
    m_capturing = true;
    m_fpsTimer->start(fpsIntervalMs);
    ui->pushButton_set->setEnabled(false);
    ui->pushButton_set->setToolTip(QStringLiteral("Please stop collecting first!"));
}

void MainWindow::stopCapture() {
    m_fpsTimer->stop();
    if (m_workerThread.isRunning()) {
        m_worker.pauseAfterFrame();
    }
    LogManager::logMessage("Stop Capture data.");
    m_batteryTimer.start();
    setPlayLook(false);
    m_capturing = false;
    ui->pushButton_set->setEnabled(true);
    ui->pushButton_set->setToolTip(QString());
}

void MainWindow::receive_errorOccurred(QString errormessage) {
    qCDebug(lcWindow) << "Worker error:" << errormessage;
    if (m_capturing) {
        stopCapture();
    }
    if (m_connected) {
        closeLink(std::chrono::milliseconds(0));
    }
    showDisconnected();
    ui->pushButton_Connect->setText(QStringLiteral("Connect"));
    UserDialogs::inform(QStringLiteral("Error Occurred."));
}

void MainWindow::handle_cali_data_click() {
    if (!m_capturing) {
        UserDialogs::inform(QStringLiteral("Please Start capture first!"));
        return;
    }
    const bool switchOn = !m_calibrationOn;
    m_worker.m_calibrationOn = switchOn;
    ui->pushButton_full_on->setEnabled(switchOn);
    ui->pushButton_full_off->setEnabled(switchOn);
    ui->pushButton_cali->setText(switchOn ? QStringLiteral("Close Calibration") : QStringLiteral("Open Calibration"));
    LogManager::logMessage(switchOn ? "Open calibration." : "Close Calibration.");
    m_calibrationOn = switchOn;
}

void MainWindow::handle_set_full_on_click() {
    m_worker.m_fullOnRequested = true;
}

void MainWindow::handle_set_full_off_click() {
    m_worker.m_fullOffRequested = true;
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

void MainWindow::writeSettingsSummary(double range) {
    m_settingsSummary = QStringLiteral("Current:%1\nVbias1:%2\nVbias2:%3\nVon:%4\nVoff:%5\n")
                            .arg(formatRange(range), ui->lineEdit_vc->text(), ui->lineEdit_vd->text(),
                                 ui->lineEdit_von->text(), ui->lineEdit_voff->text());
}

void MainWindow::handle_set_button_click() {
    if (m_capturing) {
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
    if (const auto choice = IntegrationSearch::find(m_selectedCurrentRange)) {
        m_integrationCount = choice->integrationCount;
        m_gearCode = choice->gearCode;
    } else {
        std::cout << "No suitable integration time found within the specified range." << std::endl;
    }
    const int range = truncatedRange(m_selectedCurrentRange);
    m_worker.m_currentRange = range;
    m_worker.fillFullOnReference(static_cast<double>(range));

    CommandProtocol::Parameters parameters;
    parameters.integrationCount = static_cast<std::uint32_t>(m_integrationCount);
    parameters.gearCode = m_gearCode;
    parameters.vonCode = CommandProtocol::gateVoltageCode(CommandProtocol::voltsFromText(ui->lineEdit_von->text()));
    parameters.voffCode = CommandProtocol::gateVoltageCode(CommandProtocol::voltsFromText(ui->lineEdit_voff->text()));
    parameters.vbias1Code = CommandProtocol::biasVoltageCode(CommandProtocol::voltsFromText(ui->lineEdit_vc->text()));
    parameters.vbias2Code = CommandProtocol::biasVoltageCode(CommandProtocol::voltsFromText(ui->lineEdit_vd->text()));
    writeSettingsSummary(m_selectedCurrentRange);
    m_worker.m_videoFps = IntegrationSearch::estimatedFrameRate(m_selectedCurrentRange);
    parameters.positive = ui->checkBox_positive->isChecked();
    m_worker.m_currentMode = parameters.positive;
    m_settingsSummary +=
        parameters.positive ? QStringLiteral("Model: positive \n") : QStringLiteral("Model: negative \n");

    const CommandProtocol::ParameterCommand command = CommandProtocol::parameterCommand(parameters);
    LogManager::logBytes(command.data(), command.size());
    m_worker.leaveStreaming(streamingGrace);
    m_lastStatus = CommandProtocol::writeFrame(*m_link, m_handle, command.data(), command.size());
    if (!CommandProtocol::awaitAcknowledgement(*m_link, m_handle, CommandProtocol::parameterAck,
                                               CommandProtocol::parameterBufferSize, CommandProtocol::parameterWaitMs,
                                               &m_lastStatus)) {
        UserDialogs::inform(QStringLiteral("Setting failed"));
        return;
    }
    FirstStartHint::dismiss(ui->widget_display);
    UserDialogs::inform(QStringLiteral("Setting successful."));
    m_worker.m_integralCurrent = IntegrationSearch::capacitanceOfGear(m_gearCode);
    m_worker.m_integralTime = m_integrationCount * IntegrationSearch::tickNs;
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
    m_worker.m_selectedIndex = y * 64 + x;
}

void MainWindow::handleCellClicked(double current) {
    ui->label_clicked_current->setText(QStringLiteral(" Current : %1 nA ").arg(current, 0, 'f', 4));
}

// ---- Title bar and small dialogs ---------------------------------------------------------------------------

void MainWindow::handle_close_button_click() {
    if (m_capturing) {
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
    auto *dialog = new VoltageDetails(this);
    UserDialogs::runModal(*dialog);
}

// ---- Saving ------------------------------------------------------------------------------------------------

QString MainWindow::uniqueRunName(const QString &directory, const QString &name) const {
    const QDir dir(directory);
    if (!dir.exists(name)) {
        return name;
    }
    for (int counter = 1;; ++counter) {
        const QString candidate = QStringLiteral("%1_%2").arg(name).arg(counter);
        if (!dir.exists(candidate)) {
            return candidate;
        }
    }
}

void MainWindow::writeParameterFile(const QString &path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        qWarning() << "Could not open file for writing:" << path;
        return;
    }
    file.write(m_settingsSummary.toUtf8());
    file.close();
    qDebug() << "Data saved to" << path;
}

void MainWindow::handle_save_data_click() {
    if (!m_capturing) {
        UserDialogs::inform(QStringLiteral("Please start collecting data"));
        return;
    }
    const int frames = ui->comboBox_saveframes->currentText().toInt();
    if (frames > maxSaveFrames) {
        UserDialogs::inform(QStringLiteral("The input value cannot exceed 1000! "));
        return;
    }
    // A run of no frames would never complete and would record without end.
    if (frames < 1) {
        UserDialogs::inform(QStringLiteral("The input value cannot be less than 1! "));
        return;
    }
    // A new run in the middle of one would mix the two runs' frames and files.
    if (m_worker.saveInProgress()) {
        UserDialogs::inform(QStringLiteral("Please wait until the current save has finished."));
        return;
    }
    const QString directory = ui->lineEdit_savepath->text();
    // Without a directory every path would start at the file system's root.
    if (directory.trimmed().isEmpty()) {
        UserDialogs::inform(QStringLiteral("Please select a valid path"));
        return;
    }
    QDir().mkpath(directory);
    const QString runName = uniqueRunName(directory, ui->lineEdit_savename->text());
    const QString runDirectory = QStringLiteral("%1/%2").arg(directory, runName);
    QDir().mkpath(runDirectory);

    m_worker.m_recordedCurrents.clear();
    m_worker.m_recordedGrays.clear();
    m_worker.m_saveFrames = frames;
    m_worker.m_savePath = directory;
    m_worker.m_saveName = runName;
    m_runFrames = frames;
    if (ui->checkBox_data->isChecked()) {
        m_worker.m_saveData = true;
    }
    if (ui->checkBox_picture->isChecked()) {
        m_worker.m_savePicture = true;
    }
    if (ui->checkBox_video->isChecked()) {
        m_worker.m_saveVideo = true;
    }
    m_worker.m_recording = true;
    writeParameterFile(QStringLiteral("%1/%2_SetParameterData.txt").arg(runDirectory, runName));
}

void MainWindow::handleSaveMessage(int index) {
    if (m_runFrames < 1) {
        return;
    }
    const double percent = static_cast<double>(index) / m_runFrames * 100;
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
    const auto isTrue = [&settings](const char *key) { return settings.value(key).toString() == "true"; };

    ui->comboBox_saveframes->setCurrentText(QString::number(settings.value("saveFrames", 0).toInt()));
    ui->lineEdit_savepath->setText(settings.value("saveDirectory").toString());
    ui->lineEdit_savename->setText(settings.value("saveNames").toString());
    ui->lineEdit_von->setText(settings.value("lineEdit_von").toString());
    ui->lineEdit_voff->setText(settings.value("lineEdit_voff").toString());
    ui->lineEdit_vc->setText(settings.value("lineEdit_vc").toString());
    ui->lineEdit_vd->setText(settings.value("lineEdit_vd").toString());
    ui->lineEdit_gear->setText(settings.value("lineEdit_gear").toString());

    for (const auto &[radio, range] : fixedRangeButtons()) {
        if (isTrue(radio->objectName().toLatin1().constData())) {
            radio->setChecked(true);
            m_selectedCurrentRange = range;
        }
    }
    writeSettingsSummary(m_selectedCurrentRange);
    if (isTrue("checkBox_negative")) {
        ui->checkBox_negative->setChecked(true);
        m_settingsSummary += QStringLiteral("Model : negative");
    }
    if (isTrue("checkBox_positive")) {
        ui->checkBox_positive->setChecked(true);
        m_settingsSummary += QStringLiteral("Model : positive");
    }
    if (isTrue("radioButton_optional_gear")) {
        ui->radioButton_optional_gear->setChecked(true);
    }
    for (QCheckBox *box : {ui->checkBox_data, ui->checkBox_picture, ui->checkBox_video}) {
        if (isTrue(box->objectName().toLatin1().constData())) {
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
    settings.setValue("saveFrames", ui->comboBox_saveframes->currentText().toInt());
    settings.setValue("saveDirectory", ui->lineEdit_savepath->text());
    settings.setValue("saveNames", ui->lineEdit_savename->text());
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
