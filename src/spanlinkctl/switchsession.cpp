#include "switchsession.h"

#include <QGuiApplication>
#include <QHash>
#include <QScreen>

namespace SwitchLayout
{
namespace
{
// What sendAllCommand() had logged when it stopped: its debug line per value tells how far
// it got, which its bool result does not.
struct UploadTrace {
    bool opened = false; // the opening frame was accepted
    int entries = 0; // monitor entries whose frame was sent
    bool mouse = false; // the mouse-settings frame was sent
    bool transport = false; // a frame got no answer at all, rather than a refusal
};
UploadTrace *s_trace = nullptr;
QtMessageHandler s_previous = nullptr;

void traceMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (UploadTrace *t = s_trace) {
        if (msg == QLatin1String("sendAllCommand() finish"))
            t->opened = true;
        else if (msg.startsWith(QLatin1String("serialNum= ")))
            ++t->entries;
        else if (msg.startsWith(QLatin1String("s_Num= ")))
            t->mouse = true;
        else if (msg.startsWith(QLatin1String("Unable to")) || msg.startsWith(QLatin1String("please open device")))
            t->transport = true;
    }
    if (s_previous)
        s_previous(type, context, msg);
}
} // namespace

QString UploadResult::frameText() const
{
    if (lastTwo)
        return QStringLiteral("frame %1 or %2 of %2 (the mouse settings or the closing frame)")
            .arg(failedFrame)
            .arg(frames);
    if (failedFrame == 1)
        return QStringLiteral("frame 1 of %1 (opening the upload)").arg(frames);
    return QStringLiteral("frame %1 of %2 (monitor entry %3)").arg(failedFrame).arg(frames).arg(failedFrame - 1);
}

SwitchSession::~SwitchSession()
{
    m_switch.close();
}

bool SwitchSession::open()
{
    return m_switch.open(KV830::VendorId, KV830::ProductId);
}

void SwitchSession::close()
{
    m_switch.close();
}

int SwitchSession::portStatus(const char *key) const
{
    return m_switch.m_portStatus.value(QLatin1String(key)).toInt();
}

bool SwitchSession::readStatus(SwitchStatus &s, QString &error, bool full)
{
    if (full && !m_switch.getFWAPProtocolVersion()) {
        error = QStringLiteral("the switch does not answer the version request");
        return false;
    }
    if (!m_switch.getPortStatus()) {
        error = QStringLiteral("the switch does not answer the port-status request");
        return false;
    }
    if (full && !m_switch.getSwitchingFocusStatus()) {
        error = QStringLiteral("the switch does not answer the highlight-settings request");
        return false;
    }
    s.version = m_switch.version();
    s.thisPort = portStatus("apportNum");
    s.currentPort = portStatus("curportNum");
    s.entries = portStatus("listNum");
    s.mousePosition = portStatus("mouseposition");
    s.presentPorts = m_switch.m_portMask;
    const QVariantMap &focus = m_switch.m_focusStatus;
    s.highlight = focus.value(QStringLiteral("status")).toInt() != 0;
    s.highlightDuration = focus.value(QStringLiteral("duration")).toInt();
    s.wrapAround = focus.value(QStringLiteral("cyclic_switch")).toInt() != 0;
    return true;
}

bool SwitchSession::readLayout(QVector<Monitor> &monitors, int &failedEntry)
{
    monitors.clear();
    const int count = portStatus("listNum");
    for (int i = 1; i <= count; ++i) {
        if (!m_switch.getOneListOfPortNum(i)) {
            failedEntry = i;
            return false;
        }
        monitors.append(fromPortList(m_switch.m_portList));
    }
    return true;
}

UploadResult SwitchSession::upload(const QVector<Monitor> &monitors, const Mouse &mouse)
{
    const int n = monitors.size();
    UploadTrace trace;
    s_trace = &trace;
    s_previous = qInstallMessageHandler(traceMessage);
    // The entries and the mouse settings are the lists announced; the mouse list comes last.
    const bool sent = m_switch.sendAllCommand(n + 1, uploadEntries(monitors), uploadMouse(mouse, n + 1));
    qInstallMessageHandler(s_previous);
    s_trace = nullptr;

    UploadResult r;
    r.frames = n + 3;
    if (sent)
        return r;
    r.outcome = trace.transport ? UploadResult::Silent : UploadResult::Refused;
    if (!trace.opened)
        r.failedFrame = 1;
    else if (!trace.mouse)
        r.failedFrame = trace.entries + 1;
    else {
        // Both come after the last logged value, so which of the two it was cannot be told.
        r.failedFrame = n + 2;
        r.lastTwo = true;
    }
    return r;
}

QVector<QRect> desktopScreens()
{
    // Device pixels: what the switch's resolutions count. Screens of one virtual desktop keep
    // their places; separate desktops (one per X screen, each with its own origin) are side by
    // side in their order, as the X server lays them out.
    QVector<QRect> screens;
    QHash<const QScreen *, int> desktopLeft; // first screen of a desktop -> its left edge
    int nextLeft = 0;
    for (const QScreen *s : QGuiApplication::screens()) {
        const QScreen *first = s->virtualSiblings().value(0, const_cast<QScreen *>(s));
        const qreal r = first->devicePixelRatio();
        const QRect desktop = first->virtualGeometry();
        if (!desktopLeft.contains(first)) {
            desktopLeft.insert(first, nextLeft);
            nextLeft += qRound(desktop.width() * r);
        }
        const QRect g = s->geometry();
        screens.append(QRect(desktopLeft.value(first) + qRound((g.x() - desktop.x()) * r),
            qRound((g.y() - desktop.y()) * r), qRound(g.width() * r), qRound(g.height() * r)));
    }
    return screens;
}
} // namespace SwitchLayout
