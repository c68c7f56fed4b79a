#pragma once

#include <hidapi.h>

// The one USB HID connection to the switch. Knows nothing of what the reports mean.
// Not a QObject; closing the device is always an explicit call.
class HidCommand
{
public:
    HidCommand() = default;
    HidCommand(const HidCommand &) = delete;
    HidCommand &operator=(const HidCommand &) = delete;

    bool opendevice(unsigned short vendorId, unsigned short productId);
    bool closedevice();
    bool sendRequest(const unsigned char *frame, int length);
    // Byte 0 of buffer must hold the report ID to read (hidapi's convention).
    bool getReply(unsigned char buffer[], int length);

private:
    hid_device *m_handle = nullptr;
};
