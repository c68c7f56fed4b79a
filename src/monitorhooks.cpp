// Installing and removing the input hooks, and the keyboard procedure.

#include "monitor.h"

#include <QCursor>
#include <QDebug>

bool Monitor::setHook()
{
    installHooks();
    return true;
}

void Monitor::installHooks()
{
    InputHooks &hooks = InputHooks::instance();
    m_mouseHook = hooks.installMouseHook(&Monitor::mouseProc);
    if (!m_mouseHook)
        qWarning("Mouse Hook failed");
    m_keyboardHook = hooks.installKeyboardHook(&Monitor::keyboardProc);
    if (!m_keyboardHook)
        qDebug("KB Hook Failed");
}

void Monitor::placePointer(int x, int y)
{
    if (!InputHooks::instance().movePointer(x, y))
        QCursor::setPos(x, y);
}

void Monitor::uninstallHook()
{
    InputHooks &hooks = InputHooks::instance();
    hooks.uninstall(m_mouseHook);
    hooks.uninstall(m_keyboardHook);
    m_mouseHook = nullptr;
    m_keyboardHook = nullptr;
    getInstance()->m_device.close();
}

std::intptr_t Monitor::keyboardProc(int code, std::uintptr_t message, std::intptr_t record)
{
    // The focus-arrival key is passed on like any other key; nothing is swallowed here, and
    // events with a negative code are not even looked at. The key is an arrival only when the
    // switch says the focus is here (getMouseData); any other goes on untouched.
    if (code >= 0 && message == HookMessage::KeyDown && record != 0
        && reinterpret_cast<const KeyEventRecord *>(record)->vkCode == FocusArrivalKey) {
        Monitor *engine = getInstance();
        if (engine->getMouseData()) {
            engine->m_switchPending = 0;
            InputHooks::instance().swallowingEnded();
        }
    }
    return InputHooks::instance().callNext(code, message, record);
}
