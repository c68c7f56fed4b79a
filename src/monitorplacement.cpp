// Where the pointer arrives when the switch hands keyboard and mouse to this computer, and
// the highlight settings.

#include "monitor.h"
#include "trace/trace.h"

#include <QDebug>

bool Monitor::getMouseData()
{
    Monitor *engine = getInstance();
    KV830Data &device = engine->m_device;
    const std::optional<KV830::MouseStatus> status = device.getMouseStatus();
    Trace::mark("mouse-status-answered", status.has_value());
    if (!status) {
        engine->m_curPort = engine->m_apPort;
        debugLater(SPANLINK_LOG_PLACE, "getMouseStatus fail");
        return true;
    }

    const int p = status->curPort;
    const int R = status->row;
    const int C = status->col;
    const int d = status->direction;
    const int P = status->percent;

    // The switch's key says keyboard and mouse have come here only when the switch says so
    // too; the same key from a keyboard of this computer's own is no arrival. The mouse status
    // names the port the switch last handed them to. While this computer holds the focus
    // already, that may be an old word, and the port status (who has them now) is asked first;
    // otherwise after the pointer is placed, which is then not kept waiting for it.
    const auto readPorts = [engine] {
        const std::optional<KV830::PortStatus> read = engine->askPortStatus();
        Trace::mark("port-status-answered");
        if (!read)
            debugLater(SPANLINK_LOG_PLACE, "getPortStatus fail");
        return read;
    };
    const bool checkFirst = p == engine->m_apPort && engine->m_curPort == engine->m_apPort;
    std::optional<KV830::PortStatus> ports;
    if (checkFirst)
        ports = readPorts();
    const int focus = ports ? ports->curPort : p;
    if (p != engine->m_apPort || focus != engine->m_apPort) {
        later([place = SPANLINK_LOG_PLACE, p, focus] {
            QMessageLogger(place.file, place.line, place.function).debug()
                << "focus-arrival key while the switch gives the focus to port" << focus << "(last crossing to port"
                << p << "): not an arrival";
        });
        return false;
    }

    // Keyboard and mouse are here: a pointer still held from a crossing made just before is let
    // go first, or it could not be put where it enters.
    engine->m_switchPending = 0;
    InputHooks::instance().swallowingEnded();

    // The switch's sizes are not trusted with a window: the frame stays on this desktop.
    const auto showFrame = [engine](const QRectF &monitor) {
        const QRect shown = engine->highlightRect(monitor).toRect();
        QVariantMap &frame = engine->m_frameInfo;
        frame[QStringLiteral("x")] = shown.x();
        frame[QStringLiteral("y")] = shown.y();
        frame[QStringLiteral("width")] = shown.width();
        frame[QStringLiteral("height")] = shown.height();
        frame[QStringLiteral("switchport")] = 0;
    };
    QPoint pos;
    const auto entered = engine->m_ownMonitors.constFind(MonitorLogic::cellKey(R, C));
    if (entered != engine->m_ownMonitors.constEnd()) {
        const QRect monitor = ownRect(entered.value());
        pos = MonitorLogic::placement(d, P, monitor, engine->m_edgeMargin, engine->m_cornerMargin);
        placePointer(pos.x(), pos.y());
        Trace::mark("pointer-placed");
        if (!checkFirst)
            readPorts();
        engine->m_curPort = p;
        showFrame(monitor);
        // The entered monitor is the one the next move is tested against, also when that
        // move goes straight back out through the side it came in by.
        engine->m_lastRow = R;
        engine->m_lastCol = C;
    } else {
        // The switch names a cell that is not ours: the centre of the first own monitor.
        if (!checkFirst)
            readPorts();
        engine->m_curPort = p;
        QRect first;
        if (!engine->m_ownMonitors.isEmpty()) {
            first = ownRect(engine->m_ownMonitors.first());
            later([place = SPANLINK_LOG_PLACE, R, C, w = first.width(), h = first.height()] {
                QMessageLogger(place.file, place.line, place.function).debug()
                    << "entered cell" << MonitorLogic::cellKey(R, C) << "is not ours: centred on our first monitor,"
                    << w << "x" << h;
            });
        }
        pos = QPoint(first.x() + first.width() / 2, first.y() + first.height() / 2);
        placePointer(pos.x(), pos.y());
        showFrame(first);
        for (const MonitorLogic::OwnCell &m : engine->m_ownCells) {
            if (MonitorLogic::isInside(m, float(pos.x()), float(pos.y()))) {
                engine->m_lastRow = m.row;
                engine->m_lastCol = m.col;
                break;
            }
        }
    }
    // The speed is measured from where the pointer was put; what it did before it left for
    // another computer counts no more.
    engine->m_speedSamples.clear();
    engine->m_speedSamples.add(engine->m_clock(), pos);
    engine->m_lastPointer = pos;
    engine->m_push = Push();
    engine->monitorChangedLater();
    return true;
}

QVariantMap Monitor::getMouseHighlightData()
{
    Monitor *engine = getInstance();
    QVariantMap result;
    if (const std::optional<KV830::FocusStatus> focus = engine->m_device.getSwitchingFocusStatus()) {
        result[QStringLiteral("status")] = focus->highlight;
        result[QStringLiteral("duration")] = focus->duration;
        result[QStringLiteral("cyclic_switch")] = focus->cyclicSwitch;
        engine->m_cyclicSwitch = focus->cyclicSwitch;
        return result;
    }
    result[QStringLiteral("status")] = 0;
    result[QStringLiteral("duration")] = 1;
    engine->m_cyclicSwitch = 0;
    return result;
}
