#include "LibFtdiBus.h"

#include <ftdi.h>
#include <libusb.h>

#include "LibFtdiPort.h"
#include "LinkLogging.h"

namespace {

struct ContextDeleter {
    void operator()(ftdi_context *context) const { ftdi_free(context); }
};
using ContextPointer = std::unique_ptr<ftdi_context, ContextDeleter>;

struct DeviceListDeleter {
    void operator()(ftdi_device_list *list) const { ftdi_list_free2(list); }
};
using DeviceListPointer = std::unique_ptr<ftdi_device_list, DeviceListDeleter>;

// Reads the device's strings; leaves them empty when the device cannot be opened for it (no access).
void readStrings(ftdi_context *context, libusb_device *usbDevice, FtdiUsbDevice *device) {
    char description[128] = {};
    char serial[128] = {};
    const int result =
        ftdi_usb_get_strings(context, usbDevice, nullptr, 0, description, sizeof description, serial, sizeof serial);
    if (result < 0) {
        qCDebug(lcLink) << "Cannot read the strings of USB device" << device->busNumber << device->address << ":"
                        << ftdi_get_error_string(context);
        return;
    }
    device->description = description;
    device->serialNumber = serial;
}

}  // namespace

int LibFtdiBus::enumerate(std::vector<FtdiUsbDevice> &devices) {
    devices.clear();
    const ContextPointer context(ftdi_new());
    if (!context) {
        return -1;
    }
    ftdi_device_list *found = nullptr;
    // Vendor and product 0 list libftdi1's known FTDI devices, the H-series bridges among them.
    const int count = ftdi_usb_find_all(context.get(), &found, 0, 0);
    const DeviceListPointer list(found);
    if (count < 0) {
        qCWarning(lcLink) << "Listing FTDI devices failed:" << ftdi_get_error_string(context.get());
        return count;
    }
    for (ftdi_device_list *entry = list.get(); entry; entry = entry->next) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(entry->dev, &descriptor) != 0) {
            continue;
        }
        FtdiUsbDevice device;
        device.vendorId = descriptor.idVendor;
        device.productId = descriptor.idProduct;
        device.busNumber = libusb_get_bus_number(entry->dev);
        device.address = libusb_get_device_address(entry->dev);
        readStrings(context.get(), entry->dev, &device);
        devices.push_back(std::move(device));
    }
    return static_cast<int>(devices.size());
}

FtdiOpenResult LibFtdiBus::open(std::uint16_t vendorId, std::uint16_t productId, const std::string &description,
                                const std::string &serialNumber) {
    FtdiOpenResult result;
    ContextPointer context(ftdi_new());
    if (!context) {
        result.error = -1;
        result.errorText = "ftdi_new failed";
        return result;
    }
    // Opening detaches the kernel's serial driver from the interface (libftdi1's default).
    const int opened =
        ftdi_usb_open_desc(context.get(), vendorId, productId, description.empty() ? nullptr : description.c_str(),
                           serialNumber.empty() ? nullptr : serialNumber.c_str());
    if (opened < 0) {
        result.error = opened;
        result.errorText = ftdi_get_error_string(context.get());
        return result;
    }
    result.port = std::make_unique<LibFtdiPort>(context.release());
    return result;
}
