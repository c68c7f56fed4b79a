#pragma once

#include "platform/inputhooks.h"

// The Windows low-level hooks. This unit needs nothing but <windows.h> and the platform
// interface, so that it can be built and tried without Qt.
InputHooks *createWinInputHooks();
