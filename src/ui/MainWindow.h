#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <utility>

#include <QByteArray>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QThread>
#include <QTimer>

#include "DisplayOrientation.h"
#include "FrameRateMeter.h"
#include "FtTypes.h"
#include "ReceiverThread.h"

namespace Ui {
class MainWindow;
}
class QHBoxLayout;
class QRadioButton;
class KeepRatioWidget;
class DeviceMonitor;
class UsbFifoLink;

// The program's only window: the form, the live picture, the device controls, and the owner of the
// acquisition worker and its thread. Every slot runs on the window thread; the worker is driven only
// through its flags and answers through queued signals.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests and the entry point.
    Ui::MainWindow *form() const { return ui; }
    KeepRatioWidget *imageView() const { return m_imageView; }
    ReceiverThread &worker() { return m_worker; }
    bool isConnected() const { return m_connected; }
    bool isCapturing() const { return m_capturing; }
    const QString &settingsSummary() const { return m_settingsSummary; }
    std::int32_t integrationCount() const { return m_integrationCount; }
    std::int32_t gearCode() const { return m_gearCode; }
    double selectedCurrentRange() const { return m_selectedCurrentRange; }
    const DisplayOrientation &orientation() const { return m_orientation; }
    // Runs one device-change notification as the platform would deliver it.
    void handleDeviceChange();

public slots:
    void handleCellClicked(double current);
    void handleSetMaxSuccess();
    void handleSetMinSuccess();
    void handleSaveMessage(int index);
    void handle_close_button_click();
    void handle_max_size_button_click();
    void handle_mini_size_button_click();
    void handle_connect_button_click();
    void handle_play_button_click();
    void handle_set_button_click();
    void handle_set_full_off_click();
    void handle_set_full_on_click();
    void getBattery();
    void handle_save_path_button_click();
    void receive_displayImage(QImage displayImage);
    void receive_errorOccurred(QString errormessage);
    void updateFPS();
    void handle_display_image_rotate();
    void handle_display_image_mirrorHorizontal();
    void handle_display_image_mirrorVertical();
    void handle_save_data_click();
    void handle_cali_data_click();
    void handle_radio_button_toggled(bool checked);
    void saveSettings();
    void loadSettings();
    void SetClickedLocate(int x, int y);
    void handle_voltage_about_button_click();
    void handleSaveFailed(QString message);

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void startDiscovery();
    void discoveryTick(QTimer *timer);
    void wireControls();
    void setUpWorkerThread();
    void fillNavigationList();
    void finishWidgets();

    void connectDevice();
    void configureLink();
    void closeLink(std::chrono::milliseconds grace);
    void showDisconnected();
    void runRemovalSequence();
    bool instrumentPresent();

    void startCapture();
    void stopCapture();

    void setPlayLook(bool capturing);
    // The fixed current-range buttons and their ranges in nA.
    std::array<std::pair<QRadioButton *, double>, 4> fixedRangeButtons() const;
    void writeSettingsSummary(double range);
    QString uniqueRunName(const QString &directory, const QString &name) const;
    void writeParameterFile(const QString &path) const;

    Ui::MainWindow *ui = nullptr;
    QHBoxLayout *m_imageViewLayout = nullptr;
    KeepRatioWidget *m_imageView = nullptr;
    QThread m_workerThread;
    QTimer m_batteryTimer;
    std::int32_t m_integrationCount = 4864;
    std::int32_t m_gearCode = 7;
    DisplayOrientation m_orientation;
    FrameRateMeter m_frameRate;
    QTimer *m_fpsTimer = nullptr;
    double m_selectedCurrentRange = 500.0;
    ReceiverThread m_worker;
    QString m_settingsSummary;
    bool m_capturing = false;
    bool m_connected = false;
    bool m_calibrationOn = false;
    int m_discoveryTicks = 0;
    ft::Status m_lastStatus = ft::Ok;
    ft::Handle m_handle = nullptr;
    UsbFifoLink *m_link = nullptr;
    DeviceMonitor *m_deviceMonitor = nullptr;
    // The frame count of the save run in progress, for its progress percentage.
    int m_runFrames = 0;
};
