#include "monitor.h"
#include "platform/session.h"

#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace
{
constexpr int s_speedInterval = 100;

quint64 cellHash(int row, int col)
{
    return (quint64(quint32(row)) << 32) | quint32(col);
}
} // namespace

Monitor::Monitor(QObject *parent)
    : QObject(parent)
{
}

// Removes no hook, stops no timer and leaves the switch as it is: the engine instance lives
// until the process ends.
Monitor::~Monitor() = default;

Monitor *Monitor::getInstance()
{
    static Monitor s_engine;
    return &s_engine;
}

QVariantMap Monitor::frameInfo() const
{
    return getInstance()->m_frameInfo;
}

QString Monitor::sessionNote() const
{
    return Session::waylandTip();
}

bool Monitor::connectDevice()
{
    Monitor *engine = getInstance();
    connect(&engine->m_device, &KV830Data::devStatusChanged, this, &Monitor::getDeviceStatus);
    connect(engine, &Monitor::monitorChanged, this, &Monitor::notifyToQml);

    engine->m_connected = engine->m_device.open(KV830::VendorId, KV830::ProductId);
    if (engine->m_connected) {
        m_devstatus = 1;
        readPortStatus();
    } else {
        m_devstatus = 0;
        qDebug("Connection device fail");
    }

    // Also after a failed open: the heartbeat is what picks the switch up later.
    engine->m_device.beginHeartBeat();

    m_speedTimer = new QTimer();
    m_speedTimer->setInterval(s_speedInterval);
    m_speedTimer->start();
    connect(m_speedTimer, &QTimer::timeout, this, &Monitor::getMouseSpeed);

    // Screens that come, go or change size move the desktop's edges and the own monitors on it.
    // Queued: a removed screen leaves the application's list only after the signal.
    if (qGuiApp) {
        const auto watch = [engine](QScreen *screen) {
            connect(screen, &QScreen::geometryChanged, engine, &Monitor::followScreens, Qt::QueuedConnection);
        };
        for (QScreen *screen : QGuiApplication::screens())
            watch(screen);
        connect(qGuiApp, &QGuiApplication::screenAdded, engine, [engine, watch](QScreen *screen) {
            watch(screen);
            QMetaObject::invokeMethod(engine, &Monitor::followScreens, Qt::QueuedConnection);
        });
        connect(qGuiApp, &QGuiApplication::screenRemoved, engine, &Monitor::followScreens, Qt::QueuedConnection);
    }

    installHooks();
    return engine->m_connected;
}

void Monitor::getDeviceStatus()
{
    Monitor *engine = getInstance();
    const int s = engine->m_device.status();
    m_devstatus = s;
    if (s == 1) {
        // Back after a loss (or never open before): the layout may have changed meanwhile.
        if (int(engine->m_connected) != m_devstatus)
            readPortStatus();
    } else {
        engine->m_switchPending = 0;
        InputHooks::instance().swallowingEnded();
    }
    engine->m_connected = m_devstatus != 0;
    emit statusChanged();
}

void Monitor::readPortStatus()
{
    if (m_devstatus != 1)
        return;
    Monitor *engine = getInstance();
    if (!engine->m_device.getPortStatus()) {
        engine->m_listCount = 0;
        return;
    }
    const QVariantMap status = engine->m_device.m_portStatus;
    engine->m_apPort = intOf(status, QStringLiteral("apportNum"));
    engine->m_listCount = intOf(status, QStringLiteral("listNum"));
    engine->m_curPort = intOf(status, QStringLiteral("curportNum"));
    engine->m_mousePosition = intOf(status, QStringLiteral("mouseposition"));
    buildLayout();
}

void Monitor::notifyToQml()
{
    emit monitorChanged();
}

void Monitor::buildLayout()
{
    Monitor *engine = getInstance();
    if (engine->m_listCount < 1)
        return;

    engine->m_ownMonitors.clear();
    engine->m_allMonitors.clear();

    static const QString switchKeys[] = {QStringLiteral("portNum"), QStringLiteral("monitorIndexNum"),
        QStringLiteral("row"), QStringLiteral("col"), QStringLiteral("width"), QStringLiteral("height")};
    for (int index = 1; index <= engine->m_listCount; ++index) {
        if (!engine->m_device.getOneListOfPortNum(index))
            continue;
        QVariantMap e = engine->m_device.m_portList;
        // Every stored entry has all keys; a missing one reads as 0.
        for (const QString &key : switchKeys) {
            if (!e.contains(key))
                e.insert(key, QVariant());
        }
        const int portNum = intOf(e, QStringLiteral("portNum"));
        const int row = intOf(e, QStringLiteral("row"));
        const int col = intOf(e, QStringLiteral("col"));
        e[QStringLiteral("min_x")] = 0;
        e[QStringLiteral("min_y")] = 0;
        e[QStringLiteral("max_x")] = intOf(e, QStringLiteral("width"));
        e[QStringLiteral("max_y")] = intOf(e, QStringLiteral("height"));

        const QString key = MonitorLogic::cellKey(row, col);
        if (portNum == engine->m_apPort)
            engine->m_ownMonitors.insert(key, e);
        engine->m_allMonitors.insert(key, e);
    }
    computeOwnGeometry();
    engine->refreshDesktop();
    engine->checkLayout();
}

QVector<QRect> Monitor::screens() const
{
    if (m_screenSource)
        return m_screenSource();
    QVector<QRect> out;
    if (qGuiApp) {
        for (const QScreen *screen : QGuiApplication::screens())
            out.append(screen->geometry());
    }
    return out;
}

void Monitor::refreshDesktop()
{
    Monitor *engine = getInstance();
    const QRect d = MonitorLogic::desktopOf(engine->screens());
    engine->m_desktop = d;
    engine->m_desktopRight = d.isValid() ? float(d.x() + d.width()) : MonitorLogic::NoDesktop;
    engine->m_desktopBottom = d.isValid() ? float(d.y() + d.height()) : MonitorLogic::NoDesktop;
    engine->m_desktopLeft = d.isValid() ? qMin(d.x(), 0) : 0;
    engine->m_desktopTop = d.isValid() ? qMin(d.y(), 0) : 0;
}

void Monitor::followScreens()
{
    Monitor *engine = getInstance();
    engine->computeOwnGeometry();
    engine->refreshDesktop();
    engine->checkLayout();
}

void Monitor::checkLayout() const
{
    QVector<QRect> own;
    for (const QVariantMap &e : qAsConst(m_ownMonitors))
        own.append(ownRect(e));
    const QString mismatch = m_placedOnScreens ? QString() : MonitorLogic::layoutMismatch(own, screens());
    if (!mismatch.isEmpty())
        qInfo("%s", qPrintable(mismatch));

    QStringList empty;
    for (const QVariantMap &e : qAsConst(m_allMonitors)) {
        if (intOf(e, QStringLiteral("portNum")) != m_apPort
            && (intOf(e, QStringLiteral("width")) <= 0 || intOf(e, QStringLiteral("height")) <= 0)) {
            empty << QStringLiteral("port %1 in cell %2,%3")
                         .arg(intOf(e, QStringLiteral("portNum")))
                         .arg(intOf(e, QStringLiteral("row")))
                         .arg(intOf(e, QStringLiteral("col")));
        }
    }
    if (!empty.isEmpty()) {
        qInfo("The switch's layout has monitors of no area (%s): the pointer can cross to them but never back",
            qPrintable(empty.join(QStringLiteral(", "))));
    }
}

QRect Monitor::ownRect(const QVariantMap &e)
{
    return QRect(intOf(e, QStringLiteral("min_x")), intOf(e, QStringLiteral("min_y")),
        intOf(e, QStringLiteral("width")), intOf(e, QStringLiteral("height")));
}

QRectF Monitor::highlightRect(const QRectF &monitor) const
{
    const QRectF clipped = monitor.intersected(QRectF(m_desktop));
    return clipped.isEmpty() ? QRectF() : clipped;
}

void Monitor::computeOwnGeometry()
{
    Monitor *engine = getInstance();
    const QString rowKey = QStringLiteral("row");
    const QString colKey = QStringLiteral("col");

    // The origin moves only to a cell that is above or left of it and not below or right of
    // it in the other direction, so an irregular arrangement depends on the key order.
    bool first = true;
    for (const QVariantMap &e : qAsConst(engine->m_ownMonitors)) {
        const int r = intOf(e, rowKey);
        const int c = intOf(e, colKey);
        if (first) {
            engine->m_originRow = r;
            engine->m_originCol = c;
            first = false;
            continue;
        }
        const int oR = engine->m_originRow;
        const int oC = engine->m_originCol;
        if ((r < oR && c < oC) || (r < oR && c == oC) || (r == oR && c < oC)) {
            engine->m_originRow = r;
            engine->m_originCol = c;
        }
    }

    // Each monitor where this desktop really has it: on its screen where the screens are the
    // layout's monitors, else by the cells and the sizes of the monitors before it.
    QVector<MonitorLogic::GridMonitor> grid;
    for (const QVariantMap &e : qAsConst(engine->m_ownMonitors)) {
        grid.append({intOf(e, rowKey), intOf(e, colKey), intOf(e, QStringLiteral("width")),
            intOf(e, QStringLiteral("height"))});
    }
    QString why;
    const std::optional<QVector<QRect>> onScreens = MonitorLogic::matchScreens(grid, engine->screens(), &why);
    const QVector<QRect> placed
        = onScreens.value_or(MonitorLogic::placeByCells(grid, {engine->m_originRow, engine->m_originCol}));
    auto it = engine->m_ownMonitors.begin();
    for (const QRect &r : placed) {
        QVariantMap &stored = (it++).value();
        stored[QStringLiteral("min_x")] = r.x();
        stored[QStringLiteral("min_y")] = r.y();
        stored[QStringLiteral("max_x")] = r.x() + r.width();
        stored[QStringLiteral("max_y")] = r.y() + r.height();
    }
    engine->m_placedOnScreens = onScreens.has_value();
    if (onScreens) {
        qInfo("This computer's monitors lie where its screens are");
    } else if (!grid.isEmpty()) {
        qInfo("This computer's monitors are placed by their cells in the switch's layout: %s", qPrintable(why));
    }

    engine->rebuildPointerIndex();
}

void Monitor::rebuildPointerIndex()
{
    m_ownCells.clear();
    m_ownCells.reserve(size_t(m_ownMonitors.size()));
    for (const QVariantMap &e : qAsConst(m_ownMonitors)) {
        m_ownCells.push_back(MonitorLogic::makeOwnCell(intOf(e, QStringLiteral("portNum")),
            intOf(e, QStringLiteral("row")), intOf(e, QStringLiteral("col")), ownRect(e)));
    }

    m_cells.clear();
    for (const QVariantMap &e : qAsConst(m_allMonitors)) {
        const CellEntry cell {
            intOf(e, QStringLiteral("portNum")), intOf(e, QStringLiteral("row")), intOf(e, QStringLiteral("col"))};
        m_cells.insert(cellHash(cell.row, cell.col), cell);
    }
}

const Monitor::CellEntry *Monitor::cellAt(MonitorLogic::Cell cell) const
{
    const auto it = m_cells.constFind(cellHash(cell.row, cell.col));
    return it == m_cells.constEnd() ? nullptr : &it.value();
}
