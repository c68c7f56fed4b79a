#pragma once

#include "platform/inputhooks.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPoint>
#include <QTimer>

#include <optional>

class QSocketNotifier;
struct _XDisplay;

// Desktop-wide input on X11: XInput2 raw events selected on the root window of a connection
// of our own, read on the GUI thread through a socket notifier. X has no hook chain, so the
// events have reached their clients already; "swallowing" is an active pointer grab that
// holds the pointer still and keeps pointer events from other clients while the engine asks.
class X11InputHooks : public QObject, public InputHooks
{
    Q_OBJECT

public:
    X11InputHooks();
    ~X11InputHooks() override;

    HookHandle installMouseHook(Procedure procedure) override;
    HookHandle installKeyboardHook(Procedure procedure) override;
    void uninstall(HookHandle hook) override;
    // Nothing comes after us: an event goes on unless it is swallowed.
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override { return 0; }
    // A warp on our own connection, without the toolkit's two queries of the pointer before it.
    bool movePointer(int x, int y) override;
    void swallowingEnded() override;

private:
    bool ensureConnection();
    void selectEvents();
    void readEvents();
    // Adds a raw motion event's distances to the burst being read.
    // values: one per axis set in mask (axis 0 is x, axis 1 is y).
    void addMotion(int sourceId, const unsigned char *mask, int maskLength, const double *values);
    bool isRelativeSource(int deviceId);
    void deliverMotion();
    void deliverPointer(std::uintptr_t message);
    void deliverKey(std::uintptr_t message, int keycode);
    // Holds or releases the pointer as the engine's last answer says.
    void holdPointer(bool hold);
    // Lets the pointer go unless the engine still swallows; after s_maxHoldMsec in any case.
    void checkHold(bool timedOut);

    _XDisplay *m_display = nullptr;
    bool m_failed = false;
    int m_xiOpcode = 0;
    unsigned long m_root = 0;
    unsigned long m_confineWindow = 0;
    int m_f13Keycode = 0;
    QSocketNotifier *m_notifier = nullptr;

    Procedure m_mouse = nullptr;
    Procedure m_keyboard = nullptr;
    int m_mouseToken = 0;
    int m_keyboardToken = 0;

    bool m_motionPending = false;
    double m_motionX = 0, m_motionY = 0; // the burst's distances so far
    bool m_motionAbsolute = false; // part of the burst came from an absolute device
    double m_reachedX = 0, m_reachedY = 0; // the last position delivered, past an edge on a push
    QElapsedTimer m_clock; // monotonic: a push is measured in it, whatever the wall clock does
    qint64 m_lastMotionMsec = -(1 << 30); // no motion yet
    int m_screenWidth = 0, m_screenHeight = 0;
    QHash<int, bool> m_relativeSources; // device id -> its x axis reports distances
    PointerEventRecord m_position;
    // Where the engine put the pointer while handling the event being delivered, if it did:
    // the place to hold it, known without asking the server.
    bool m_moved = false;
    int m_movedX = 0, m_movedY = 0;
    int m_queriedX = 0, m_queriedY = 0; // where the server had the pointer at the last move
    bool m_inPointerEvent = false; // the engine is handling a pointer event
    bool m_holding = false;
    std::optional<QPoint> m_holdAt; // where the hold to come keeps the pointer; none: where it is then
    QTimer m_holdSoon; // the hold to come
    QTimer m_holdLimit;
};
