#pragma once

#include <cstdint>

// What the engine needs from the desktop: system-wide pointer and key hooks that call
// Monitor::mouseProc and Monitor::keyboardProc on the GUI thread, before the event takes
// effect, and honour a non-zero result as "swallow this event".
//
// The procedures keep the shape of Windows low-level hook procedures: hook code, message
// identifier, address of the event record; pointer-sized parameters and result. Message
// identifiers and virtual-key codes are the Windows values on every platform.

using HookHandle = void *;

namespace HookMessage
{
constexpr std::uintptr_t KeyDown = 0x0100;
constexpr std::uintptr_t KeyUp = 0x0101;
constexpr std::uintptr_t SysKeyDown = 0x0104;
constexpr std::uintptr_t MouseMove = 0x0200;
constexpr std::uintptr_t LeftButtonDown = 0x0201;
constexpr std::uintptr_t LeftButtonUp = 0x0202;
constexpr std::uintptr_t LeftButtonDoubleClick = 0x0203;
constexpr std::uintptr_t RightButtonDown = 0x0204;
constexpr std::uintptr_t RightButtonUp = 0x0205;
constexpr std::uintptr_t MouseWheel = 0x020A;
} // namespace HookMessage

// The key with which the switch announces that keyboard and mouse have arrived here (F13).
constexpr std::uint32_t FocusArrivalKey = 0x7C;

// Event records as the procedures read them. They match the leading members of the Windows
// records (POINT pt of MSLLHOOKSTRUCT, vkCode of KBDLLHOOKSTRUCT), so on Windows the system's
// records are read directly; elsewhere the platform layer fills these.
struct PointerEventRecord {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

struct KeyEventRecord {
    std::uint32_t vkCode = 0;
};

class InputHooks
{
public:
    using Procedure = std::intptr_t (*)(int code, std::uintptr_t message, std::intptr_t record);

    virtual ~InputHooks() = default;

    // Each returns the new hook's handle, or null when it cannot be installed.
    virtual HookHandle installMouseHook(Procedure procedure) = 0;
    virtual HookHandle installKeyboardHook(Procedure procedure) = 0;
    // Removing a null or unknown handle does nothing.
    virtual void uninstall(HookHandle hook) = 0;
    // Passes an event on to whoever is next; its result is what a procedure returns when it
    // does not swallow the event.
    virtual std::intptr_t callNext(int code, std::uintptr_t message, std::intptr_t record) = 0;
    // Called with the engine's speed sample (every 100 ms, on the GUI thread). A platform that
    // has to look after its hooks does it here rather than on a timer of its own, so that an
    // idle agent wakes for the engine's timers only.
    virtual void checkHooks() { }
    // Puts the system pointer at (x, y), desktop pixels, where the platform can do that more
    // directly than the toolkit; false: it cannot, and the caller uses QCursor::setPos.
    virtual bool movePointer(int, int) { return false; }
    // The engine has stopped swallowing pointer events; a platform that holds the pointer
    // while they are swallowed lets it go now, without waiting for the next event.
    virtual void swallowingEnded() { }

    // The platform's hooks, chosen once. Tests may put their own in place (null restores).
    static InputHooks &instance();
    static void setInstance(InputHooks *hooks);
};
