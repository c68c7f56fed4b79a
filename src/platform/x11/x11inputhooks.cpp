#include "platform/x11/x11inputhooks.h"

#include <QAbstractEventDispatcher>
#include <QDebug>
#include <QSocketNotifier>

#include "trace/trace.h"

#include <cmath>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace
{
// Linux KEY_F13 as an X keycode; Xvfb's default keymap has no F13 keysym, so the switch's
// key is recognised by this code as well as by the keysym.
constexpr int s_f13Keycode = 191;
// Never hold the user's pointer longer than this, whatever the engine says.
constexpr int s_maxHoldMsec = 2000;
// A hold begins this long after the event the engine swallows. Holding costs the X server a
// window mapped and a grab, and us a round trip; right after a hand-over the computer taking
// over needs the CPU more. Taken a moment later, the hold still puts the pointer where it
// belongs: the grab confines it there.
constexpr int s_holdAfterMsec = 2;
// Nothing happens: asks the engine only whether it still swallows.
constexpr std::uintptr_t s_probeMessage = 0;
// How far past the edge a push is followed; beyond it the position stays put.
constexpr double s_maxOvershoot = 1 << 20;
// Motion closer together than this is one push.
constexpr qint64 s_pushGapMsec = 100;

// Where a move along one axis would have taken the pointer. The server stops the pointer at
// the screen's edge, so a push against it shows as the same position again and again; the
// raw motion says how far the push went. `previous` is the last position delivered (past the
// edge while a push goes on), `queried` where the server has the pointer now, `last` the
// screen's last pixel on this axis.
double reached(double previous, double delta, int queried, int last)
{
    const double expected = previous + delta;
    if (queried <= 0 && expected < 0)
        return qMax(expected, -s_maxOvershoot);
    if (queried >= last && expected > last)
        return qMin(expected, last + s_maxOvershoot);
    return queried;
}

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
    m_clock.start();
    m_holdLimit.setSingleShot(true);
    m_holdLimit.setInterval(s_maxHoldMsec);
    connect(&m_holdLimit, &QTimer::timeout, this, [this] { checkHold(true); });
    m_holdSoon.setSingleShot(true);
    m_holdSoon.setInterval(s_holdAfterMsec);
    connect(&m_holdSoon, &QTimer::timeout, this, [this] {
        // Unless the engine has stopped swallowing meanwhile.
        if (m_mouse && m_mouse(0, s_probeMessage, 0) != 0)
            holdPointer(true);
    });
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
    // The screen's size, kept up to date by the root window's configure events.
    m_screenWidth = DisplayWidth(m_display, DefaultScreen(m_display));
    m_screenHeight = DisplayHeight(m_display, DefaultScreen(m_display));
    XSelectInput(m_display, m_root, StructureNotifyMask);
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
    XIEventMask masks[2];
    masks[0].deviceid = XIAllMasterDevices;
    masks[0].mask_len = sizeof bits;
    masks[0].mask = bits;
    // Devices that come and go may reuse an id with another mode.
    unsigned char hierarchy[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(hierarchy, XI_HierarchyChanged);
    masks[1].deviceid = XIAllDevices;
    masks[1].mask_len = sizeof hierarchy;
    masks[1].mask = hierarchy;
    XISelectEvents(m_display, m_root, masks, 2);
    XFlush(m_display);
}

void X11InputHooks::readEvents()
{
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == m_root) {
            m_screenWidth = event.xconfigure.width;
            m_screenHeight = event.xconfigure.height;
            continue;
        }
        XGenericEventCookie *cookie = &event.xcookie;
        if (event.type != GenericEvent || cookie->extension != m_xiOpcode || !XGetEventData(m_display, cookie))
            continue;
        const int evtype = cookie->evtype;
        Trace::mark(evtype == XI_RawMotion ? "raw-motion-read" : "raw-event-read", evtype);
        if (evtype == XI_HierarchyChanged) {
            m_relativeSources.clear();
            XFreeEventData(m_display, cookie);
            continue;
        }
        const auto *raw = static_cast<const XIRawEvent *>(cookie->data);
        const int detail = raw->detail;
        if (evtype == XI_RawMotion)
            // Older servers leave the source out; the master device then stands for it.
            addMotion(raw->sourceid > XIAllMasterDevices ? raw->sourceid : raw->deviceid, raw->valuators.mask,
                raw->valuators.mask_len, raw->valuators.values);
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

void X11InputHooks::addMotion(int sourceId, const unsigned char *mask, int maskLength, const double *values)
{
    // Only a relative device's values are distances; an absolute one (a tablet, a virtual
    // machine's pointer) cannot push past the edge anyway.
    if (!isRelativeSource(sourceId)) {
        m_motionAbsolute = true;
        return;
    }
    // The values as the server applied them, acceleration included.
    const double *value = values;
    for (int axis = 0; axis < maskLength * 8 && axis < 2; ++axis) {
        if (!XIMaskIsSet(mask, axis))
            continue;
        (axis == 0 ? m_motionX : m_motionY) += *value++;
    }
}

bool X11InputHooks::isRelativeSource(int deviceId)
{
    const auto known = m_relativeSources.constFind(deviceId);
    if (known != m_relativeSources.constEnd())
        return known.value();
    bool relative = false;
    int count = 0;
    if (XIDeviceInfo *info = XIQueryDevice(m_display, deviceId, &count)) {
        for (int i = 0; i < count; ++i) {
            for (int c = 0; c < info[i].num_classes; ++c) {
                const auto *valuator = reinterpret_cast<const XIValuatorClassInfo *>(info[i].classes[c]);
                if (valuator->type == XIValuatorClass && valuator->number == 0)
                    relative = valuator->mode == XIModeRelative;
            }
        }
        XIFreeDeviceInfo(info);
    }
    m_relativeSources.insert(deviceId, relative);
    return relative;
}

void X11InputHooks::deliverMotion()
{
    if (!m_motionPending || !m_mouse)
        return;
    m_motionPending = false;
    const double dx = m_motionX;
    const double dy = m_motionY;
    const bool absolute = m_motionAbsolute;
    m_motionX = m_motionY = 0;
    m_motionAbsolute = false;
    // Raw events come after the move has taken effect, unlike a Windows hook that sees it
    // before: the position is where the pointer is now, clamped to the screen.
    Window rootReturn, childReturn;
    int rootX = 0, rootY = 0, winX, winY;
    unsigned int buttons;
    if (!XQueryPointer(m_display, m_root, &rootReturn, &childReturn, &rootX, &rootY, &winX, &winY, &buttons))
        return; // the pointer is on another screen of this display
    Trace::mark("position-known", rootX);
    m_queriedX = rootX;
    m_queriedY = rootY;
    // Pushed against an edge, the engine gets the position past it that the push reached,
    // as a Windows hook does: otherwise the push repeats one position and looks like rest.
    // A push goes on while motion keeps coming; after a pause the pointer may have been put
    // elsewhere (warps bring no raw motion), so it starts again from where the pointer is,
    // which the engine sees first: it follows only a pointer it has seen on a monitor.
    const qint64 now = m_clock.elapsed();
    const bool goesOn = now - m_lastMotionMsec <= s_pushGapMsec;
    m_lastMotionMsec = now;
    if (absolute || !goesOn) {
        m_reachedX = rootX;
        m_reachedY = rootY;
    } else {
        m_reachedX = reached(m_reachedX, dx, rootX, m_screenWidth - 1);
        m_reachedY = reached(m_reachedY, dy, rootY, m_screenHeight - 1);
    }
    m_position.x = std::int32_t(std::lround(m_reachedX));
    m_position.y = std::int32_t(std::lround(m_reachedY));
    deliverPointer(HookMessage::MouseMove);
}

bool X11InputHooks::movePointer(int x, int y)
{
    if (!m_display)
        return false;
    // Later requests on this connection (the hold's grab, which waits for its answer) are
    // carried out after it. Put anywhere else (where the pointer arrives), it is synced: the
    // server moves the pointer before we go on, not when it next gets the CPU after whatever
    // we and the others woken by the crossing do next (on a busy machine, or one whose
    // computers share the CPUs, that can be a few hundred microseconds).
    XWarpPointer(m_display, None, m_root, 0, 0, 0, 0, x, y);
    if (m_inPointerEvent)
        XFlush(m_display);
    else
        XSync(m_display, False);
    m_moved = true;
    m_movedX = x;
    m_movedY = y;
    return true;
}

void X11InputHooks::deliverPointer(std::uintptr_t message)
{
    if (!m_mouse || message == 0)
        return;
    m_moved = false;
    m_inPointerEvent = true;
    const std::intptr_t result = m_mouse(0, message, reinterpret_cast<std::intptr_t>(&m_position));
    m_inPointerEvent = false;
    if (result == 0) {
        holdPointer(false);
        return;
    }
    if (m_holding)
        return;
    // The place to hold the pointer: where the engine has put it, or else where it was at the
    // first event swallowed, and for a click without a move before it, where it is when held.
    if (m_moved)
        m_holdAt = QPoint(m_movedX, m_movedY);
    else if (!m_holdSoon.isActive())
        m_holdAt
            = message == HookMessage::MouseMove ? std::optional<QPoint>(QPoint(m_queriedX, m_queriedY)) : std::nullopt;
    if (!m_holdSoon.isActive())
        m_holdSoon.start();
}

void X11InputHooks::deliverKey(std::uintptr_t message, int keycode)
{
    if (!m_keyboard)
        return;
    KeyEventRecord record;
    // Only the switch's key needs a virtual-key code; others are passed as code 0.
    record.vkCode = (keycode == s_f13Keycode || (m_f13Keycode != 0 && keycode == m_f13Keycode)) ? FocusArrivalKey : 0;
    if (record.vkCode == FocusArrivalKey && message == HookMessage::KeyDown)
        Trace::mark("focus-key-read");
    m_keyboard(0, message, reinterpret_cast<std::intptr_t>(&record));
}

void X11InputHooks::holdPointer(bool hold)
{
    if (!hold)
        m_holdSoon.stop();
    if (hold == m_holding || !m_display)
        return;
    if (!hold) {
        m_holdLimit.stop();
        XUngrabPointer(m_display, CurrentTime);
        XUnmapWindow(m_display, m_confineWindow);
        XFlush(m_display);
        m_holding = false;
        return;
    }

    // Confine the pointer to a 1 x 1 window at its place (the warp that parked it went out on
    // this connection before, so the server has carried it out), or else where the server has
    // it now.
    int x = m_holdAt ? m_holdAt->x() : 0;
    int y = m_holdAt ? m_holdAt->y() : 0;
    if (!m_holdAt) {
        Window rootReturn, childReturn;
        int winX, winY;
        unsigned int buttons;
        if (!XQueryPointer(m_display, m_root, &rootReturn, &childReturn, &x, &y, &winX, &winY, &buttons))
            return; // on another screen of this display: nothing to hold here
    }
    XMoveWindow(m_display, m_confineWindow, x, y);
    XMapRaised(m_display, m_confineWindow);
    const int status = XGrabPointer(m_display, m_root, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
        GrabModeAsync, GrabModeAsync, m_confineWindow, None, CurrentTime);
    if (status != GrabSuccess) {
        // Another client holds a grab (an open menu, a button held in another program). Said
        // after the event: this is the pointer's path.
        QMetaObject::invokeMethod(
            this,
            [status] {
                qDebug("input hooks: cannot hold the pointer (grab status %d); pointer input goes on", status);
            },
            Qt::QueuedConnection);
        XUnmapWindow(m_display, m_confineWindow);
        XFlush(m_display);
        return;
    }
    XFlush(m_display);
    Trace::mark("pointer-held");
    m_holding = true;
    m_holdLimit.start();
}

void X11InputHooks::swallowingEnded()
{
    checkHold(false);
}

void X11InputHooks::checkHold(bool timedOut)
{
    if (!m_holding)
        return;
    // The engine says when its pending period ends (a timer, a key, a lost switch); asked
    // again here, as the word may come from a path that did not end it after all.
    const bool swallow = m_mouse && m_mouse(0, s_probeMessage, 0) != 0;
    if (swallow && !timedOut)
        return;
    if (swallow)
        qDebug("input hooks: pointer held for %d ms; letting it go", s_maxHoldMsec);
    holdPointer(false);
}
