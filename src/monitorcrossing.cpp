// The pointer handler: follows the pointer over this computer's monitors and, when it leaves
// through an edge or corner toward another port's monitor, asks the switch to hand keyboard
// and mouse over.
//
// It runs for every pointer event of the desktop, so a move that falls in no band touches
// only plain numbers: the layout is read from the index that rebuildPointerIndex() keeps, not
// from the variant maps.

#include "monitor.h"
#include "trace/trace.h"

#include <QDebug>
#include <QTimer>

#include <chrono>

namespace
{
constexpr int s_speedWindowMsec = 100;
constexpr double s_minCrossingSpeed = 0.4; // pixels per millisecond
} // namespace

// Sample times only order and pair the samples; a monotonic clock is cheap and never jumps.
std::int64_t Monitor::steadyMsec()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::intptr_t Monitor::mouseProc(int code, std::uintptr_t message, std::intptr_t record)
{
    // The system wants events with a negative code passed on untouched.
    if (code < 0)
        return InputHooks::instance().callNext(code, message, record);
    Trace::markCpu("hook-entered", int(message), true);
    Monitor *engine = getInstance();
    if (record != 0) {
        switch (message) {
        case HookMessage::MouseMove: {
            const auto *event = reinterpret_cast<const PointerEventRecord *>(record);
            engine->pointerMoved(event->x, event->y);
            break;
        }
        case HookMessage::LeftButtonDown:
            engine->m_leftButtonDown = 1;
            break;
        case HookMessage::LeftButtonUp:
            engine->m_leftButtonDown = 0;
            break;
        case HookMessage::RightButtonDown:
            engine->m_rightButtonDown = 1;
            break;
        case HookMessage::RightButtonUp:
            engine->m_rightButtonDown = 0;
            break;
        default:
            break;
        }
    }
    // While a switch is pending every pointer event is swallowed, clicks and wheel included.
    if (engine->m_switchPending) {
        Trace::markCpu("hook-left", 1, false);
        return 1;
    }
    Trace::markCpu("hook-left", 0, false);
    return InputHooks::instance().callNext(code, message, record);
}

void Monitor::pointerMoved(std::int32_t X, std::int32_t Y)
{
    if (!m_connected || m_curPort != m_apPort)
        return;
    const QPoint pos(X, Y);
    if (m_lastPointer && *m_lastPointer == pos)
        return;
    const std::int64_t now = m_clock();
    m_speedSamples.add(now, pos);
    m_lastPointer = pos;

    const float x = float(X);
    const float y = float(Y);
    const float edge = float(m_edgeMargin);
    const float corner = float(m_cornerMargin);
    bool inPush = false;

    // By index, and a copy only of a monitor that is acted on: the layout may be rebuilt by
    // what a request's exchanges bring about.
    for (size_t i = 0; i < m_ownCells.size(); ++i) {
        const MonitorLogic::OwnCell &cell = m_ownCells[i];
        const bool current = cell.row == m_lastRow && cell.col == m_lastCol;
        if (!current && !MonitorLogic::isInside(cell, x, y))
            continue;
        const MonitorLogic::OwnCell m = cell;
        if (!current) {
            // The pointer has entered another of this computer's monitors: the highlight follows.
            m_lastRow = m.row;
            m_lastCol = m.col;
            const QRectF shown = highlightRect(QRectF(m.left, m.top, m.width, m.height));
            m_frameInfo[QStringLiteral("x")] = float(shown.x());
            m_frameInfo[QStringLiteral("y")] = float(shown.y());
            m_frameInfo[QStringLiteral("width")] = float(shown.width());
            m_frameInfo[QStringLiteral("height")] = float(shown.height());
            m_frameInfo[QStringLiteral("switchport")] = 0;
            monitorChangedLater();
        }

        // Only the current monitor is tested for a crossing, also once the pointer is past it.
        const MonitorLogic::Band band = MonitorLogic::classify(
            X, Y, m, edge, corner, m_desktopRight, m_desktopBottom, m_desktopLeft, m_desktopTop);
        if (band.code == 0)
            continue;
        Trace::mark("band-found", band.code);
        const Push push {m.row, m.col, band.code};
        if (push == m_push) {
            // Asked once in this push already.
            inPush = true;
            continue;
        }
        if (!mayCross(i, band.code))
            continue;
        // A slow move or a held button keeps the pointer at a plain edge; corners always cross.
        // The speed is the pointer's over the last 100 ms up to this move.
        if (!MonitorLogic::isCorner(band.code)
            && (m_leftButtonDown == 1 || m_rightButtonDown == 1
                || m_speedSamples.speed(now, s_speedWindowMsec) < s_minCrossingSpeed))
            continue;
        // One request at a time.
        if (m_switchPending)
            continue;

        // Which ports are present now: only the target search reads it.
        askPortStatus();
        Trace::mark("port-status-answered");

        const MonitorLogic::Cell here {m.row, m.col};
        const MonitorLogic::Cell beyond = MonitorLogic::neighbour(band.code, here);
        const auto qualifies = [this](MonitorLogic::Cell cell) {
            const CellEntry *entry = cellAt(cell);
            return entry && entry->port >= 1 && entry->port <= 8 && (m_portMask >> (entry->port - 1)) & 1;
        };
        MonitorLogic::Cell target = beyond;
        if (!qualifies(beyond)) {
            if (const auto found = MonitorLogic::walk(band.code, here, m_cyclicSwitch != 0, qualifies))
                target = *found;
        }

        const Request made = requestSwitch(m, target, band.code, band.percent);
        // Refused, or nowhere to go with the ports present now: not again in this push.
        m_push = made == Request::Accepted ? Push() : push;
        if (made != Request::NotMade)
            return;
        inPush = true;
    }
    if (!inPush)
        m_push = Push();
}

bool Monitor::mayCross(size_t index, int code) const
{
    return index < m_crossable.size() && (m_crossable[index] >> (code - 1 + (m_cyclicSwitch ? 8 : 0))) & 1;
}

void Monitor::rebuildCrossable()
{
    m_push = Push();
    m_crossable.assign(m_ownCells.size(), 0);
    for (size_t i = 0; i < m_ownCells.size(); ++i) {
        const MonitorLogic::OwnCell &m = m_ownCells[i];
        const auto otherPort = [this, &m](MonitorLogic::Cell cell) {
            const CellEntry *entry = cellAt(cell);
            return entry && entry->port != m.port;
        };
        const MonitorLogic::Cell here {m.row, m.col};
        for (int code = 1; code <= 8; ++code) {
            for (const bool cyclic : {false, true}) {
                if (otherPort(MonitorLogic::neighbour(code, here)) || MonitorLogic::walk(code, here, cyclic, otherPort))
                    m_crossable[i] |= quint16(1u << (code - 1 + (cyclic ? 8 : 0)));
            }
        }
    }
}

Monitor::Request Monitor::requestSwitch(
    const MonitorLogic::OwnCell &current, MonitorLogic::Cell target, int code, int percent)
{
    const CellEntry *entry = cellAt(target);
    if (!entry || entry->port == current.port)
        return Request::NotMade;
    const QPoint park = MonitorLogic::parkingPoint(m_mousePosition, current, float(m_cornerMargin));

    m_switchPending = 1;
    const bool accepted = m_device.sendMouseStatus(entry->port, entry->row, entry->col, code, percent);
    Trace::mark("request-answered", accepted);
    if (accepted) {
        m_curPort = entry->port;
        placePointer(park.x(), park.y());
        Trace::mark("pointer-parked");
        QTimer::singleShot(PendingMsec, this, &Monitor::stopMouseMove);
    } else {
        m_switchPending = 0;
    }
    later([place = SPANLINK_LOG_PLACE, port = entry->port, row = entry->row, col = entry->col, code, percent, park] {
        QMessageLogger(place.file, place.line, place.function).debug()
            << "postSwitchCmd nextportnum" << port << " : " << row << col << code << percent << park.x() << park.y();
    });

    m_frameInfo[QStringLiteral("switchport")] = 1;
    monitorChangedLater();
    return accepted ? Request::Accepted : Request::Refused;
}

// The speed timer's tick: the gate measures the speed itself at each move, so what is left is
// the platform's look after its hooks.
void Monitor::getMouseSpeed()
{
    InputHooks::instance().checkHooks();
}

void Monitor::stopMouseMove()
{
    getInstance()->m_switchPending = 0;
    InputHooks::instance().swallowingEnded();
}
