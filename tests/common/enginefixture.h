#pragma once

#include "monitor.h"
#include "virtualhid.h"

#include <QCoreApplication>

#include <optional>

// The engine as readPortStatus leaves it over a virtual switch holding `monitors`, this computer on port
// `apport` with the focus; the desktop's screens are `screens`, by default our monitors where their cells put them.
inline Monitor *setUpEngine(const QVector<SwitchModel::MonitorEntry> &monitors, int apport, quint8 presentMask,
    int mousePosition = 4, std::optional<QVector<QRect>> screens = std::nullopt)
{
    VirtualHid::reset();
    SwitchModel &sw = VirtualHid::model();
    sw.monitors = monitors;
    sw.presentMask = presentMask;
    sw.currentPort = apport;
    sw.mousePosition = mousePosition;
    VirtualHid::setAttachPort(apport);

    Monitor *engine = Monitor::getInstance();
    engine->m_device.close();
    engine->m_device.open(KV830::VendorId, KV830::ProductId);
    engine->m_connected = true;
    engine->m_switchPending = engine->m_lastRow = engine->m_lastCol = engine->m_cyclicSwitch = 0;
    engine->m_lastPointer.reset();
    engine->m_speedSamples = {};
    engine->m_clock = &Monitor::steadyMsec;
    engine->m_leftButtonDown = engine->m_rightButtonDown = engine->m_originRow = engine->m_originCol = 0;
    engine->m_frameInfo.clear();
    engine->m_ownMonitors.clear();
    engine->m_allMonitors.clear();
    engine->m_screenSource = [engine, screens] {
        QVector<MonitorLogic::GridMonitor> own;
        for (const QVariantMap &e : qAsConst(engine->m_ownMonitors))
            own.append({e[QStringLiteral("row")].toInt(), e[QStringLiteral("col")].toInt(),
                e[QStringLiteral("width")].toInt(), e[QStringLiteral("height")].toInt()});
        return screens.value_or(MonitorLogic::placeByCells(own, {engine->m_originRow, engine->m_originCol}));
    };

    Monitor element;
    element.m_devstatus = 1;
    element.readPortStatus();
    engine->readLayoutToEnd();
    VirtualHid::clearSentFrames();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); // what the layout read left for the event loop
    return engine;
}

// A monitor of the switch's layout: its port, cell and size (setUpEngine's callers number the entries).
inline SwitchModel::MonitorEntry at(int port, int row, int col, int width = 1920, int height = 1080)
{
    return {port, 0, row, col, width, height};
}

// What a hook procedure returned: swallowed, or passed on (to the next hook, 42 with FakeInputHooks).
constexpr std::intptr_t Swallowed = 1;

// One event through the hook procedures, as the hooks deliver it (0x0200: a move).
inline std::intptr_t pointerEvent(std::uintptr_t message, int x = 0, int y = 0)
{
    PointerEventRecord record {x, y};
    return Monitor::mouseProc(0, message, reinterpret_cast<std::intptr_t>(&record));
}
inline std::intptr_t moveTo(int x, int y)
{
    return pointerEvent(0x0200, x, y);
}
inline std::intptr_t keyEvent(std::uintptr_t message, std::uint32_t vk)
{
    KeyEventRecord record {vk};
    return Monitor::keyboardProc(0, message, reinterpret_cast<std::intptr_t>(&record));
}

// The switch requests (0x49) the virtual switch received since the last clear.
inline QList<QByteArray> switchRequests()
{
    QList<QByteArray> out;
    for (const QByteArray &f : VirtualHid::sentFrames())
        if (f.startsWith(char(0x49)))
            out.append(f.left(6));
    return out;
}

// The switch requests since the last clear as "port:row,col,direction,percent"; clears the frames sent.
inline QStringList takeSwitchRequests()
{
    QStringList out;
    for (const QByteArray &r : switchRequests())
        out << QStringLiteral("%1:%2,%3,%4,%5")
                   .arg(int(r[1]))
                   .arg(int(r[2]))
                   .arg(int(r[3]))
                   .arg(int(r[4]))
                   .arg(int(r[5]));
    VirtualHid::clearSentFrames();
    return out;
}
// The report IDs (hex) of every frame sent since the last clear; clears them.
inline QStringList takeReportIds()
{
    QStringList out;
    for (const QByteArray &f : VirtualHid::sentFrames())
        out << QString::number(uchar(f[0]), 16);
    VirtualHid::clearSentFrames();
    return out;
}
