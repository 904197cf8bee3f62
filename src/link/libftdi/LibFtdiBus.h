#pragma once

#include "FtdiBus.h"

// The FTDI devices on the USB buses, through libftdi1. Every call uses a libftdi1 context of its own.
class LibFtdiBus : public FtdiBus {
public:
    int enumerate(std::vector<FtdiUsbDevice> &devices) override;
    FtdiOpenResult open(std::uint16_t vendorId, std::uint16_t productId, const std::string &description,
                        const std::string &serialNumber) override;
};
