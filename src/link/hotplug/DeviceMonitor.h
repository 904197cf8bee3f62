#pragma once

#include <memory>

#include <QObject>

class QSocketNotifier;
class UsbFifoLink;
struct udev;
struct udev_monitor;

// Tells the window that a USB device arrived or went away. On Linux a libudev monitor of the "usb"
// subsystem (add and remove) feeds it; a link backend that knows of plugging itself (the simulated
// instrument) raises the same notification. On Windows the window's native-event hook does this instead.
class DeviceMonitor : public QObject {
    Q_OBJECT

public:
    explicit DeviceMonitor(UsbFifoLink *link, QObject *parent = nullptr);
    ~DeviceMonitor() override;

signals:
    void deviceChanged();

private:
    void startPlatformMonitor();
    void readPlatformEvent();

    struct Relay;
    std::shared_ptr<Relay> m_relay;
    UsbFifoLink *m_link = nullptr;
    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};
