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
constexpr int s_pendingMsec = 50;
constexpr double s_speedPeriodMsec = 100.0;
constexpr double s_minCrossingSpeed = 0.4; // pixels per millisecond

// Sample times only order and pair the samples; a monotonic clock is cheap and never jumps.
std::int64_t nowMsec()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

std::intptr_t Monitor::mouseProc(int code, std::uintptr_t message, std::intptr_t record)
{
    // The system wants events with a negative code passed on untouched.
    if (code < 0)
        return InputHooks::instance().callNext(code, message, record);
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
    if (engine->m_switchPending)
        return 1;
    return InputHooks::instance().callNext(code, message, record);
}

void Monitor::pointerMoved(std::int32_t X, std::int32_t Y)
{
    if (!m_connected || m_curPort != m_apPort)
        return;
    const QPoint pos(X, Y);
    if (m_lastPointer && *m_lastPointer == pos)
        return;
    m_speedSamples.add(nowMsec(), pos);
    m_lastPointer = pos;

    const float x = float(X);
    const float y = float(Y);
    const float edge = float(m_edgeMargin);
    const float corner = float(m_cornerMargin);

    // By index, and a copy only of a monitor that is acted on: a receiver of monitorChanged
    // may rebuild the layout meanwhile.
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
            emit monitorChanged();
        }

        // Only the current monitor is tested for a crossing, also once the pointer is past it.
        const MonitorLogic::Band band = MonitorLogic::classify(
            X, Y, m, edge, corner, m_desktopRight, m_desktopBottom, m_desktopLeft, m_desktopTop);
        if (band.code == 0)
            continue;
        Trace::mark("band-found", band.code);

        const MonitorLogic::Cell here {m.row, m.col};
        const MonitorLogic::Cell beyond = MonitorLogic::neighbour(band.code, here);

        // Which ports are present now.
        m_device.getPortStatus();
        m_portMask = m_device.m_portMask;
        Trace::mark("port-status-answered");

        const auto qualifies = [this](MonitorLogic::Cell cell) {
            const CellEntry *entry = cellAt(cell);
            return entry && entry->port >= 1 && entry->port <= 8 && (m_portMask >> (entry->port - 1)) & 1;
        };
        MonitorLogic::Cell target = beyond;
        if (!qualifies(beyond)) {
            if (const auto found = MonitorLogic::walk(band.code, here, m_cyclicSwitch != 0, qualifies))
                target = *found;
        }

        // A slow move or a held button keeps the pointer at a plain edge; corners always cross.
        if (!MonitorLogic::isCorner(band.code)
            && (m_mouseSpeed < s_minCrossingSpeed || m_leftButtonDown == 1 || m_rightButtonDown == 1))
            continue;

        if (requestSwitch(m, target, band.code, band.percent))
            return;
    }
}

bool Monitor::requestSwitch(const MonitorLogic::OwnCell &current, MonitorLogic::Cell target, int code, int percent)
{
    const CellEntry *entry = cellAt(target);
    if (!entry || entry->port == current.port)
        return false;
    const QPoint park = MonitorLogic::parkingPoint(m_mousePosition, current, float(m_cornerMargin));
    // One request at a time.
    if (m_switchPending)
        return false;

    m_switchPending = 1;
    const bool accepted = m_device.sendMouseStatus(entry->port, entry->row, entry->col, code, percent);
    Trace::mark("request-answered", accepted);
    if (accepted) {
        m_curPort = entry->port;
        placePointer(park.x(), park.y());
        Trace::mark("pointer-parked");
        QTimer::singleShot(s_pendingMsec, this, &Monitor::stopMouseMove);
    } else {
        m_switchPending = 0;
    }
    qDebug() << "postSwitchCmd nextportnum" << entry->port << " : " << entry->row << entry->col << code << percent
             << park.x() << park.y();

    m_frameInfo[QStringLiteral("switchport")] = 1;
    emit monitorChanged();
    return true;
}

void Monitor::getMouseSpeed()
{
    Monitor *engine = getInstance();
    engine->m_mouseSpeed = engine->m_speedSamples.take(s_speedPeriodMsec);
    InputHooks::instance().checkHooks();
}

void Monitor::stopMouseMove()
{
    getInstance()->m_switchPending = 0;
    InputHooks::instance().swallowingEnded();
}
