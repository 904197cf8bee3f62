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
class VoltageDetails;

// The program's only window: the form, the live picture and the controls. It is a view of the instrument
// session it owns: it reads the form, asks the session, and shows what the session reports.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests and the entry point.
    Ui::MainWindow *form() const { return ui; }
    KeepRatioWidget *imageView() const { return m_imageView; }
    InstrumentSession &session() { return m_session; }
    ReceiverThread &worker() { return m_session.worker(); }
    bool isConnected() const { return m_session.isConnected(); }
    bool isCapturing() const { return m_session.isCapturing(); }
    const QString &settingsSummary() const { return m_session.settingsSummary(); }
    std::int32_t integrationCount() const { return m_session.integrationCount(); }
    std::int32_t gearCode() const { return m_session.gearCode(); }
    double selectedCurrentRange() const { return m_selectedCurrentRange; }
    const DisplayOrientation &orientation() const { return m_orientation; }
    // Runs one device-change notification as the platform would deliver it.
    void handleDeviceChange();

public slots:
    void handleCellClicked(double current);
    void handleSetMaxSuccess();
    void handleSetMinSuccess();
    void handleSaveMessage(int frames, int total);
    void handle_close_button_click();
    void handle_max_size_button_click();
    void handle_mini_size_button_click();
    void handle_connect_button_click();
    void handle_play_button_click();
    void handle_set_button_click();
    void handle_set_full_off_click();
    void handle_set_full_on_click();
    void showBattery(int code);
    void handle_save_path_button_click();
    void receive_displayImage(QImage displayImage);
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
    void handleSaveFailed(const QString &file, const QString &reason);
    void handleSaveFinished(bool ok);

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
    void showSaveRefusal(InstrumentSession::SaveRefusal refusal);

    void setPlayLook(bool capturing);

    Ui::MainWindow *ui = nullptr;
    QHBoxLayout *m_imageViewLayout = nullptr;
    KeepRatioWidget *m_imageView = nullptr;
    VoltageDetails *m_voltageDetails = nullptr;
    DisplayOrientation m_orientation;
    FrameRateMeter m_frameRate;
    QTimer *m_fpsTimer = nullptr;
    double m_selectedCurrentRange = 500.0;
    // Declared last: destroyed first, it stops the worker while the form it reports to still exists.
    InstrumentSession m_session;
};
