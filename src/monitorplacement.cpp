// Where the pointer arrives when the switch hands keyboard and mouse to this computer, and
// the highlight settings.

#include "monitor.h"
#include "trace/trace.h"

#include <QDebug>

void Monitor::getMouseData()
{
    Monitor *engine = getInstance();
    KV830Data &device = engine->m_device;
    const bool answered = device.getMouseStatus();
    Trace::mark("mouse-status-answered", answered);
    if (!answered) {
        engine->m_curPort = engine->m_apPort;
        qDebug("getMouseStatus fail");
        return;
    }

    const QVariantMap status = device.m_mouseStatus;
    const int p = intOf(status, QStringLiteral("curportNum"));
    const int R = intOf(status, QStringLiteral("portRow"));
    const int C = intOf(status, QStringLiteral("portCol"));
    const int d = intOf(status, QStringLiteral("direction"));
    const int P = intOf(status, QStringLiteral("percent"));

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
    const auto entered = engine->m_ownMonitors.constFind(MonitorLogic::cellKey(R, C));
    if (entered != engine->m_ownMonitors.constEnd()) {
        const QRect monitor = ownRect(entered.value());
        const QPoint pos = MonitorLogic::placement(d, P, monitor, engine->m_edgeMargin, engine->m_cornerMargin);
        placePointer(pos.x(), pos.y());
        Trace::mark("pointer-placed");
        if (!device.getPortStatus())
            qDebug("getPortStatus fail");
        Trace::mark("port-status-answered");
        engine->m_curPort = p;
        showFrame(monitor);
    } else {
        // The switch names a cell that is not ours: the centre of the first own monitor.
        if (!device.getPortStatus())
            qDebug("getPortStatus fail");
        engine->m_curPort = p;
        QRect first;
        if (!engine->m_ownMonitors.isEmpty()) {
            first = ownRect(engine->m_ownMonitors.first());
            qDebug() << first.width() << first.height();
        }
        placePointer(first.x() + first.width() / 2, first.y() + first.height() / 2);
        showFrame(first);
    }
    emit engine->monitorChanged();
}

QVariantMap Monitor::getMouseHighlightData()
{
    Monitor *engine = getInstance();
    QVariantMap result;
    if (engine->m_device.getSwitchingFocusStatus()) {
        result = engine->m_device.m_focusStatus;
        const QString cyclic = QStringLiteral("cyclic_switch");
        if (!result.contains(cyclic))
            result.insert(cyclic, QVariant());
        engine->m_cyclicSwitch = result.value(cyclic).toInt();
        return result;
    }
    result[QStringLiteral("status")] = 0;
    result[QStringLiteral("duration")] = 1;
    engine->m_cyclicSwitch = 0;
    return result;
}
