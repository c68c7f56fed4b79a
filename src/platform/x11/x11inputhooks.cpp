#include "platform/x11/x11inputhooks.h"

#include <QAbstractEventDispatcher>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace
{
// Linux KEY_F13 as an X keycode; Xvfb's default keymap has no F13 keysym, so the switch's
// key is recognised by this code as well as by the keysym.
constexpr int s_f13Keycode = 191;
// While the pointer is held, the engine is asked this often whether to let it go.
constexpr int s_holdCheckMsec = 5;
// Never hold the user's pointer longer than this, whatever the engine says.
constexpr qint64 s_maxHoldMsec = 2000;
// Nothing happens: asks the engine only whether it still swallows.
constexpr std::uintptr_t s_probeMessage = 0;

std::uintptr_t buttonMessage(int button, bool down)
{
    switch (button) {
    case 1:
        return down ? HookMessage::LeftButtonDown : HookMessage::LeftButtonUp;
    case 3:
        return down ? HookMessage::RightButtonDown : HookMessage::RightButtonUp;
    case 2:
        return down ? 0x0207 : 0x0208; // middle button
    case 4:
    case 5:
        return down ? HookMessage::MouseWheel : 0; // a wheel step is a press and a release
    case 6:
    case 7:
        return down ? 0x020E : 0; // horizontal wheel
    }
    return down ? 0x020B : 0x020C; // extra buttons
}
} // namespace

X11InputHooks::X11InputHooks()
{
    m_holdCheck.setInterval(s_holdCheckMsec);
    connect(&m_holdCheck, &QTimer::timeout, this, &X11InputHooks::checkHold);
}

X11InputHooks::~X11InputHooks()
{
    if (m_display) {
        delete m_notifier;
        XCloseDisplay(m_display);
    }
}

bool X11InputHooks::ensureConnection()
{
    if (m_display)
        return true;
    if (m_failed)
        return false;
    m_failed = true; // until everything below has worked

    m_display = XOpenDisplay(nullptr);
    if (!m_display) {
        qDebug("input hooks: cannot open the X display");
        return false;
    }
    int event = 0, error = 0;
    int major = 2, minor = 2;
    if (!XQueryExtension(m_display, "XInputExtension", &m_xiOpcode, &event, &error)
        || XIQueryVersion(m_display, &major, &minor) != Success) {
        qDebug("input hooks: the X server has no XInput 2");
        XCloseDisplay(m_display);
        m_display = nullptr;
        return false;
    }

    m_root = DefaultRootWindow(m_display);
    const KeyCode f13 = XKeysymToKeycode(m_display, XK_F13);
    m_f13Keycode = f13;

    // The window the pointer is confined to while it is held: 1 x 1, input only, never
    // managed by a window manager.
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    m_confineWindow = XCreateWindow(
        m_display, m_root, 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent, CWOverrideRedirect, &attributes);

    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11InputHooks::readEvents);
    // Replies to our own requests can bring events into Xlib's queue without the socket
    // becoming readable again: look at the queue before the event loop sleeps.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this, [this] {
        if (m_display && XEventsQueued(m_display, QueuedAlready) > 0)
            readEvents();
    });

    m_failed = false;
    return true;
}

HookHandle X11InputHooks::installMouseHook(Procedure procedure)
{
    if (!ensureConnection())
        return nullptr;
    m_mouse = procedure;
    selectEvents();
    return &m_mouseToken;
}

HookHandle X11InputHooks::installKeyboardHook(Procedure procedure)
{
    if (!ensureConnection())
        return nullptr;
    m_keyboard = procedure;
    selectEvents();
    return &m_keyboardToken;
}

void X11InputHooks::uninstall(HookHandle hook)
{
    if (hook == &m_mouseToken) {
        holdPointer(false);
        m_mouse = nullptr;
    } else if (hook == &m_keyboardToken) {
        m_keyboard = nullptr;
    } else {
        return;
    }
    selectEvents();
}

void X11InputHooks::selectEvents()
{
    if (!m_display)
        return;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (m_mouse) {
        XISetMask(bits, XI_RawMotion);
        XISetMask(bits, XI_RawButtonPress);
        XISetMask(bits, XI_RawButtonRelease);
    }
    if (m_keyboard) {
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
    }
    // Master devices only: each physical event then comes once.
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof bits;
    mask.mask = bits;
    XISelectEvents(m_display, m_root, &mask, 1);
    XFlush(m_display);
}

void X11InputHooks::readEvents()
{
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        XGenericEventCookie *cookie = &event.xcookie;
        if (event.type != GenericEvent || cookie->extension != m_xiOpcode || !XGetEventData(m_display, cookie))
            continue;
        const auto *raw = static_cast<const XIRawEvent *>(cookie->data);
        const int evtype = cookie->evtype;
        const int detail = raw->detail;
        XFreeEventData(m_display, cookie);

        // A burst of motion is one move: the position is read once, when the burst is over
        // or something else happens in between.
        if (evtype == XI_RawMotion) {
            m_motionPending = true;
            continue;
        }
        deliverMotion();
        switch (evtype) {
        case XI_RawButtonPress:
            deliverPointer(buttonMessage(detail, true));
            break;
        case XI_RawButtonRelease:
            deliverPointer(buttonMessage(detail, false));
            break;
        case XI_RawKeyPress:
            deliverKey(HookMessage::KeyDown, detail);
            break;
        case XI_RawKeyRelease:
            deliverKey(HookMessage::KeyUp, detail);
            break;
        }
    }
    deliverMotion();
}

void X11InputHooks::deliverMotion()
{
    if (!m_motionPending || !m_mouse)
        return;
    m_motionPending = false;
    // Raw events come after the move has taken effect, unlike a Windows hook that sees it
    // before: the position is where the pointer is now, clamped to the screen.
    Window rootReturn, childReturn;
    int rootX = 0, rootY = 0, winX, winY;
    unsigned int buttons;
    if (!XQueryPointer(m_display, m_root, &rootReturn, &childReturn, &rootX, &rootY, &winX, &winY, &buttons))
        return; // the pointer is on another screen of this display
    m_position.x = rootX;
    m_position.y = rootY;
    deliverPointer(HookMessage::MouseMove);
}

void X11InputHooks::deliverPointer(std::uintptr_t message)
{
    if (!m_mouse || message == 0)
        return;
    const std::intptr_t result = m_mouse(0, message, reinterpret_cast<std::intptr_t>(&m_position));
    holdPointer(result != 0);
}

void X11InputHooks::deliverKey(std::uintptr_t message, int keycode)
{
    if (!m_keyboard)
        return;
    KeyEventRecord record;
    // Only the switch's key needs a virtual-key code; others are passed as code 0.
    record.vkCode = (keycode == s_f13Keycode || (m_f13Keycode != 0 && keycode == m_f13Keycode)) ? FocusArrivalKey : 0;
    m_keyboard(0, message, reinterpret_cast<std::intptr_t>(&record));
}

void X11InputHooks::holdPointer(bool hold)
{
    if (hold == m_holding || !m_display)
        return;
    if (!hold) {
        m_holdCheck.stop();
        XUngrabPointer(m_display, CurrentTime);
        XUnmapWindow(m_display, m_confineWindow);
        XFlush(m_display);
        m_holding = false;
        return;
    }

    // Confine the pointer to a 1 x 1 window where it is now. The engine has just parked it
    // through the toolkit's own connection; asking the toolkit where it is takes a round trip
    // on that connection, after the warp, so the answer is the parking point. Our connection
    // could still see the old position, and a grab confined there would pull the pointer back.
    const QPoint here = QCursor::pos();
    const int x = here.x();
    const int y = here.y();
    XMoveWindow(m_display, m_confineWindow, x, y);
    XMapRaised(m_display, m_confineWindow);
    const int status = XGrabPointer(m_display, m_root, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
        GrabModeAsync, GrabModeAsync, m_confineWindow, None, CurrentTime);
    if (status != GrabSuccess) {
        // Another client holds a grab (an open menu, a button held in another program).
        qDebug("input hooks: cannot hold the pointer (grab status %d); pointer input goes on", status);
        XUnmapWindow(m_display, m_confineWindow);
        XFlush(m_display);
        return;
    }
    XFlush(m_display);
    m_holding = true;
    m_holdSince = QDateTime::currentMSecsSinceEpoch();
    m_holdCheck.start();
}

void X11InputHooks::checkHold()
{
    // The pending period ends on the engine's side (a timer, a key, a lost switch): ask it.
    const bool swallow = m_mouse && m_mouse(0, s_probeMessage, 0) != 0;
    if (swallow && QDateTime::currentMSecsSinceEpoch() - m_holdSince > s_maxHoldMsec) {
        qDebug("input hooks: pointer held for %lld ms; letting it go", s_maxHoldMsec);
        holdPointer(false);
        return;
    }
    if (!swallow)
        holdPointer(false);
}
