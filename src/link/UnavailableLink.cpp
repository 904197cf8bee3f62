#include "UnavailableLink.h"

// Like a failing driver, the count is left as it was: the caller cannot take it for "no devices".
ft::Status UnavailableLink::createDeviceInfoList(std::uint32_t *) {
    return ft::OtherError;
}

ft::Status UnavailableLink::getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) {
    list.clear();
    if (count) {
        *count = 0;
    }
    return ft::OtherError;
}

ft::Status UnavailableLink::write(ft::Handle, const void *, std::uint32_t, std::uint32_t *written) {
    if (written) {
        *written = 0;
    }
    return ft::InvalidHandle;
}

ft::Status UnavailableLink::getStatus(ft::Handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *event) {
    for (std::uint32_t *value : {rx, tx, event}) {
        if (value) {
            *value = 0;
        }
    }
    return ft::InvalidHandle;
}

ft::Status UnavailableLink::read(ft::Handle, void *, std::uint32_t, std::uint32_t *got) {
    if (got) {
        *got = 0;
    }
    return ft::InvalidHandle;
}
