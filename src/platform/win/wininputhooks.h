#pragma once

#include "platform/inputhooks.h"

// The Windows low-level hooks. This unit needs nothing but <windows.h> and the platform
// interface, so that it can be built and tried without Qt.
// A watchdog installs both hooks again when the system has dropped them, and tells `report`.
InputHooks *createWinInputHooks(void (*report)(const char *message) = nullptr);
// What the watchdog does: both installed hooks removed and installed anew (for tests too).
void reinstallHooks();
