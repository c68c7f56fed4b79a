#pragma once

// The HID report descriptor the agent expects of the switch's firmware: one vendor-defined
// collection that declares exactly the feature reports of the protocol, nothing else. Report
// sizes exclude the report ID byte, which travels first on the wire:
//   requests 0x41 to 0x4B: 8 bytes (7 after the ID), 0x43 and 0x44: 10 bytes (9);
//   replies  0xC1 to 0xCB: 8 bytes (7 after the ID), 0xC7 (a monitor entry): 11 bytes (10).
// hidraw carries a feature report only when its ID is declared here.

#define SPANLINK_FEATURE(id, bytes) 0x85, (id), 0x09, 0x01, 0x95, (bytes), 0xB1, 0x02

static const unsigned char s_reportDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (vendor defined 0xFF00)
    0x09, 0x01, // Usage (1)
    0xA1, 0x01, // Collection (Application)
    0x15, 0x00, //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08, //   Report Size (8 bits), then per report: ID, Usage, Report Count, Feature (Data,Var,Abs)
    SPANLINK_FEATURE(0x41, 7), SPANLINK_FEATURE(0x42, 7), SPANLINK_FEATURE(0x43, 9), SPANLINK_FEATURE(0x44, 9),
    SPANLINK_FEATURE(0x45, 7), SPANLINK_FEATURE(0x46, 7), SPANLINK_FEATURE(0x47, 7), SPANLINK_FEATURE(0x48, 7),
    SPANLINK_FEATURE(0x49, 7), SPANLINK_FEATURE(0x4A, 7), SPANLINK_FEATURE(0x4B, 7), //
    SPANLINK_FEATURE(0xC1, 7), SPANLINK_FEATURE(0xC2, 7), SPANLINK_FEATURE(0xC3, 7), SPANLINK_FEATURE(0xC4, 7),
    SPANLINK_FEATURE(0xC5, 7), SPANLINK_FEATURE(0xC6, 7), SPANLINK_FEATURE(0xC7, 10), SPANLINK_FEATURE(0xC8, 7),
    SPANLINK_FEATURE(0xC9, 7), SPANLINK_FEATURE(0xCA, 7), SPANLINK_FEATURE(0xCB, 7), //
    0xC0, // End Collection
};

#undef SPANLINK_FEATURE
