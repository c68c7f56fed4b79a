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
        const int w = intOf(entered.value(), QStringLiteral("width"));
        const int h = intOf(entered.value(), QStringLiteral("height"));
        const int r = R - engine->m_originRow;
        const int c = C - engine->m_originCol;
        const QPoint pos = MonitorLogic::placement(d, P, r, c, w, h, engine->m_edgeMargin, engine->m_cornerMargin);
        placePointer(pos.x(), pos.y());
        Trace::mark("pointer-placed");
        if (!device.getPortStatus())
            qDebug("getPortStatus fail");
        Trace::mark("port-status-answered");
        engine->m_curPort = p;
        showFrame(QRectF(c * w, r * h, w, h));
    } else {
        // The switch names a cell that is not ours: fall back to the first own monitor's size
        // at the desktop origin.
        if (!device.getPortStatus())
            qDebug("getPortStatus fail");
        engine->m_curPort = p;
        int w = 0;
        int h = 0;
        if (!engine->m_ownMonitors.isEmpty()) {
            const QVariantMap &firstOwn = engine->m_ownMonitors.first();
            w = intOf(firstOwn, QStringLiteral("width"));
            h = intOf(firstOwn, QStringLiteral("height"));
            qDebug() << w << h;
        }
        placePointer(w / 2, h / 2);
        showFrame(QRectF(0, 0, w, h));
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
