#include "DeviceMonitor.h"

#include <cstring>
#include <mutex>

#include <QLoggingCategory>
#include <QMetaObject>
#include <QSocketNotifier>

#include "UsbFifoLink.h"

#ifdef Q_OS_LINUX
#include <libudev.h>
#endif

Q_LOGGING_CATEGORY(lcDevices, "vantiko.devices")

// The link may call back from any thread, also while this monitor is being destroyed: the relay outlives
// the monitor and forwards only while the monitor is there.
struct DeviceMonitor::Relay {
    std::mutex mutex;
    DeviceMonitor *monitor = nullptr;

    void forward() {
        std::lock_guard lock(mutex);
        if (monitor) {
            // By name: the queued call is then built and delivered wholly inside Qt. The functor form builds
            // it in inline code on this thread and reads it on the monitor's, through Qt's own locks, which
            // the thread sanitizer cannot see.
            QMetaObject::invokeMethod(monitor, "deviceChanged", Qt::QueuedConnection);
        }
    }
};

DeviceMonitor::DeviceMonitor(UsbFifoLink *link, QObject *parent)
    : QObject(parent), m_relay(std::make_shared<Relay>()), m_link(link) {
    m_relay->monitor = this;
    if (m_link) {
        m_link->setDeviceChangeCallback([relay = m_relay] { relay->forward(); });
    }
    startPlatformMonitor();
}

DeviceMonitor::~DeviceMonitor() {
    {
        std::lock_guard lock(m_relay->mutex);
        m_relay->monitor = nullptr;
    }
    if (m_link) {
        m_link->setDeviceChangeCallback({});
    }
#ifdef Q_OS_LINUX
    if (m_monitor) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev) {
        udev_unref(m_udev);
    }
#endif
}

void DeviceMonitor::startPlatformMonitor() {
#ifdef Q_OS_LINUX
    m_udev = udev_new();
    if (!m_udev) {
        qCWarning(lcDevices) << "libudev is not available; USB plugging is not noticed";
        return;
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        qCWarning(lcDevices) << "Cannot watch USB devices through libudev; USB plugging is not noticed";
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::readPlatformEvent);
#endif
}

void DeviceMonitor::readPlatformEvent() {
#ifdef Q_OS_LINUX
    udev_device *device = udev_monitor_receive_device(m_monitor);
    if (!device) {
        return;
    }
    const char *action = udev_device_get_action(device);
    const bool relevant = action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0);
    udev_device_unref(device);
    if (relevant) {
        qCDebug(lcDevices) << "USB device" << action;
        emit deviceChanged();
    }
#endif
}
