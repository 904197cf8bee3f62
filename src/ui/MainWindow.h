#pragma once

#include <array>
#include <memory>
#include <utility>

#include <QByteArray>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include "DisplayOrientation.h"
#include "FrameRateMeter.h"
#include "InstrumentSession.h"

namespace Ui {
class MainWindow;
}
class QHBoxLayout;
class QRadioButton;
class KeepRatioWidget;
class SavePage;
class SettingPage;
class VoltageDetails;

// The program's only window: the form, the live picture and the controls. It is a view of the instrument
// session it owns: it reads the form, asks the session, and shows what the session reports.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // `link` must outlive the window; the entry point (or a test) owns it.
    explicit MainWindow(UsbFifoLink *link, QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests and the entry point.
    Ui::MainWindow *form() const { return ui; }
    KeepRatioWidget *imageView() const { return m_imageView; }
    InstrumentSession &session() { return m_session; }
    bool isConnected() const { return m_session.isConnected(); }
    bool isCapturing() const { return m_session.isCapturing(); }
    const QString &settingsSummary() const { return m_session.settingsSummary(); }
    std::int32_t integrationCount() const { return m_session.integrationCount(); }
    std::int32_t gearCode() const { return m_session.gearCode(); }
    double selectedCurrentRange() const;
    const DisplayOrientation &orientation() const { return m_orientation; }
    // Runs one device-change notification as the platform would deliver it.
    void handleDeviceChange();

public slots:
    void handleCellClicked(double current);
    void handleSetMaxSuccess();
    void handleSetMinSuccess();
    void handle_close_button_click();
    void handle_max_size_button_click();
    void handle_mini_size_button_click();
    void handle_connect_button_click();
    void handle_play_button_click();
    void handle_set_button_click();
    void handle_set_full_off_click();
    void handle_set_full_on_click();
    void showBattery(int code);
    void receive_displayImage(QImage displayImage);
    void updateFPS();
    void handle_display_image_rotate();
    void handle_display_image_mirrorHorizontal();
    void handle_display_image_mirrorVertical();
    void handle_cali_data_click();
    void saveSettings();
    void loadSettings();
    void SetClickedLocate(int x, int y);
    void handle_voltage_about_button_click();

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void wireControls();
    void wireSession();
    void finishWidgets();

    void showDiscoveryFailure(InstrumentSession::DiscoveryFailure failure);
    void showConnectOutcome(InstrumentSession::ConnectOutcome outcome);
    void showDisconnected(InstrumentSession::DisconnectReason reason);
    void showConnected(bool connected);
    void showCaptureStarted();
    void showCaptureStopped();

    void setPlayLook(bool capturing);

    Ui::MainWindow *ui = nullptr;
    QHBoxLayout *m_imageViewLayout = nullptr;
    KeepRatioWidget *m_imageView = nullptr;
    VoltageDetails *m_voltageDetails = nullptr;
    SavePage *m_savePage = nullptr;
    SettingPage *m_settingPage = nullptr;
    DisplayOrientation m_orientation;
    FrameRateMeter m_frameRate;
    QTimer *m_fpsTimer = nullptr;
    // Declared last: destroyed first, it stops the worker while the form it reports to still exists.
    InstrumentSession m_session;
};
