#include "switchsession.h"

#include <QGuiApplication>
#include <QHash>
#include <QScreen>

namespace SwitchLayout
{
QString UploadResult::frameText() const
{
    const int entries = frames - 3;
    QString what;
    if (failedFrame == 1)
        what = QStringLiteral("opening the upload");
    else if (failedFrame <= entries + 1)
        what = QStringLiteral("monitor entry %1").arg(failedFrame - 1);
    else if (failedFrame == entries + 2)
        what = QStringLiteral("the mouse settings");
    else
        what = QStringLiteral("closing the upload");
    return QStringLiteral("frame %1 of %2 (%3)").arg(failedFrame).arg(frames).arg(what);
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

UploadResult SwitchSession::upload(
    const QVector<Monitor> &monitors, const Mouse &mouse, const std::function<void(int frame, int frames)> &progress)
{
    const int n = monitors.size();
    m_switch.m_uploadProgress = progress;
    // The entries and the mouse settings are the lists announced; the mouse list comes last.
    m_switch.sendAllCommand(n + 1, uploadEntries(monitors), uploadMouse(mouse, n + 1));
    m_switch.m_uploadProgress = nullptr;
    UploadResult r;
    static_cast<KV830::UploadResult &>(r) = m_switch.m_lastUpload;
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
