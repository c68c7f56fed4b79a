#include "switchsession.h"

#include <QGuiApplication>
#include <QHash>
#include <QScreen>

namespace SwitchLayout
{
namespace
{
// "frame 3 of 6 (monitor entry 2)"
QString frameText(const UploadResult &r)
{
    const int entries = r.frames - 3;
    QString what;
    if (r.failedFrame == 1)
        what = QStringLiteral("opening the upload");
    else if (r.failedFrame <= entries + 1)
        what = QStringLiteral("monitor entry %1").arg(r.failedFrame - 1);
    else if (r.failedFrame == entries + 2)
        what = QStringLiteral("the mouse settings");
    else
        what = QStringLiteral("closing the upload");
    return QStringLiteral("frame %1 of %2 (%3)").arg(r.failedFrame).arg(r.frames).arg(what);
}
} // namespace

QString failureText(const UploadResult &r)
{
    return QStringLiteral("the switch %1 %2")
        .arg(r.outcome == UploadResult::Silent ? QStringLiteral("did not answer") : QStringLiteral("refused"),
            frameText(r));
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

bool SwitchSession::readStatus(SwitchStatus &s, QString &error, bool full)
{
    if (full && !m_switch.getFWAPProtocolVersion()) {
        error = QStringLiteral("the switch does not answer the version request");
        return false;
    }
    const std::optional<KV830::PortStatus> ports = m_switch.getPortStatus();
    if (!ports) {
        error = QStringLiteral("the switch does not answer the port-status request");
        return false;
    }
    m_entries = ports->listNum;
    std::optional<KV830::FocusStatus> focus;
    if (full && !(focus = m_switch.getSwitchingFocusStatus())) {
        error = QStringLiteral("the switch does not answer the highlight-settings request");
        return false;
    }
    s.version = m_switch.version();
    s.thisPort = ports->apPort;
    s.currentPort = ports->curPort;
    s.entries = ports->listNum;
    s.mousePosition = ports->mousePosition;
    s.presentPorts = ports->portMask;
    if (focus) {
        s.highlight = focus->highlight != 0;
        s.highlightDuration = focus->duration;
        s.wrapAround = focus->cyclicSwitch != 0;
    }
    return true;
}

bool SwitchSession::readLayout(QVector<MonitorEntry> &monitors, int &failedEntry)
{
    monitors.clear();
    for (int i = 1; i <= m_entries; ++i) {
        const std::optional<MonitorEntry> entry = m_switch.getOneListOfPortNum(i);
        if (!entry) {
            failedEntry = i;
            return false;
        }
        monitors.append(*entry);
    }
    return true;
}

UploadResult SwitchSession::upload(const QVector<MonitorEntry> &monitors, const Mouse &mouse,
    const std::function<void(int frame, int frames)> &progress)
{
    return m_switch.upload(monitors, {mouse.acceleration, mouse.speed, mouse.position}, progress);
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
