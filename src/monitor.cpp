#include "monitor.h"
#include "platform/session.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace
{
constexpr int s_speedInterval = 100;
// Longest stretch the layout read may hold the thread of the hooks, as far as it can tell.
constexpr int s_layoutTurnMsec = 16;
// Reads of one layout before giving up on a switch whose answers keep going astray.
constexpr int s_layoutAttempts = 3;
// Heartbeats over which the watch compares every entry once: a same-count change is in force
// within this many heartbeats, a changed count within one.
constexpr int s_watchBeats = 2;

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
    static const bool s_wired = [] {
        // Queued: the heartbeat's turn keeps its one exchange, the watch begins on the next turn;
        // an upload may come from another thread.
        connect(
            &s_engine.m_device, &KV830Data::heartBeatAnswered, &s_engine, &Monitor::watchLayout, Qt::QueuedConnection);
        connect(
            &s_engine.m_device, &KV830Data::listUploaded, &s_engine,
            [] { s_engine.rereadLayout("A layout was uploaded from this computer"); }, Qt::QueuedConnection);
        return true;
    }();
    Q_UNUSED(s_wired)
    return &s_engine;
}

QVariantMap Monitor::frameInfo() const
{
    return getInstance()->m_frameInfo;
}

QString Monitor::portNote() const
{
    const Monitor *engine = getInstance();
    if (engine->m_device.m_agentsOnPort <= 1)
        return QString();
    return QStringLiteral("Another agent is on port %1 of the switch").arg(engine->m_apPort);
}

QString Monitor::sessionNote() const
{
    return Session::waylandTip();
}

bool Monitor::connectDevice()
{
    Monitor *engine = getInstance();
    connect(&engine->m_device, &KV830Data::devStatusChanged, this, &Monitor::getDeviceStatus);
    connect(&engine->m_device, &KV830Data::agentsOnPortChanged, this, &Monitor::portNoteChanged);
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
        engine->stopLayoutRead();
        engine->stopWatch();
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
    const std::optional<KV830::PortStatus> status = engine->askPortStatus();
    if (!status) {
        engine->m_listCount = 0;
        return;
    }
    engine->m_apPort = status->apPort;
    engine->m_listCount = status->listNum;
    engine->m_curPort = status->curPort;
    engine->m_mousePosition = status->mousePosition;
    buildLayout();
}

void Monitor::monitorChangedLater()
{
    // Once for all that changes before the event loop gets to it; the scene reads the latest.
    if (m_changePosted)
        return;
    m_changePosted = true;
    later([this] {
        m_changePosted = false;
        emit monitorChanged();
    });
}

void Monitor::notifyToQml()
{
    const Monitor *engine = getInstance();
    const int change = ++m_sceneChanges;
    // Handed over: the scene has nothing to show here, and the crossing goes on on the other
    // computer (beside this one, in a rig): the scene hears of it as the pointer's hold ends.
    if (engine->m_switchPending && engine->m_frameInfo.value(QStringLiteral("switchport")).toInt() != 0) {
        QTimer::singleShot(PendingMsec, this, [this, change] {
            if (change == m_sceneChanges)
                emit monitorChanged();
        });
        return;
    }
    emit monitorChanged();
}

void Monitor::buildLayout()
{
    Monitor *engine = getInstance();
    if (engine->m_listCount < 1)
        return;
    engine->startLayoutRead(1);
}

bool Monitor::layoutReading() const
{
    return getInstance()->m_layoutRead.active;
}

void Monitor::readLayoutToEnd()
{
    Monitor *engine = getInstance();
    LayoutRead &r = engine->m_layoutRead;
    while (r.active) {
        if (r.next <= r.count)
            engine->readLayoutEntry(r.next++);
        else
            engine->finishLayoutRead();
    }
}

void Monitor::startLayoutRead(int attempt)
{
    stopWatch();
    LayoutRead &r = m_layoutRead;
    r = LayoutRead();
    r.active = true;
    r.attempt = attempt;
    r.count = m_listCount;
    r.entries.resize(r.count);
    r.apPort = m_apPort;
    r.strays = m_device.m_command.strayAnswers();
    if (!m_layoutTimer) {
        // Made without parent and never deleted, like the other timers of the engine.
        m_layoutTimer = new QTimer();
        // 1 ms, not 0: the events of the pointer get a pass of the event loop between two turns.
        m_layoutTimer->setInterval(1);
        connect(m_layoutTimer, &QTimer::timeout, this, &Monitor::readLayoutSlice);
    }
    m_layoutTimer->start();
}

void Monitor::stopLayoutRead()
{
    m_layoutRead = LayoutRead();
    if (m_layoutTimer)
        m_layoutTimer->stop();
}

void Monitor::readLayoutSlice()
{
    // One entry at least per turn, then more only while the turn stays short: the pointer's
    // events wait for the same thread.
    LayoutRead &r = m_layoutRead;
    QElapsedTimer turn;
    turn.start();
    qint64 longest = 0;
    while (r.active && r.next <= r.count) {
        const qint64 before = turn.elapsed();
        readLayoutEntry(r.next++);
        longest = qMax(longest, turn.elapsed() - before);
        if (turn.elapsed() + longest > s_layoutTurnMsec)
            return;
    }
    if (r.active)
        finishLayoutRead();
}

void Monitor::readLayoutEntry(int index)
{
    LayoutRead &r = m_layoutRead;
    const std::optional<KV830::MonitorEntry> entry = m_device.getOneListOfPortNum(index);
    if (!entry) {
        // A refused entry is left out; a switch that no longer answers at all ends the read.
        if (!askPortStatus()) {
            qInfo("The switch stopped answering during the layout read: the previous layout stays in force");
            stopLayoutRead();
        }
        return;
    }
    r.entries[index - 1] = entry;
    const int portNum = entry->port;
    const int row = entry->row;
    const int col = entry->col;
    const QVariantMap e {{QStringLiteral("portNum"), portNum}, {QStringLiteral("monitorIndexNum"), entry->index},
        {QStringLiteral("row"), row}, {QStringLiteral("col"), col}, {QStringLiteral("width"), entry->width},
        {QStringLiteral("height"), entry->height}, {QStringLiteral("min_x"), 0}, {QStringLiteral("min_y"), 0},
        {QStringLiteral("max_x"), entry->width}, {QStringLiteral("max_y"), entry->height}};

    const QString key = MonitorLogic::cellKey(row, col);
    if (portNum == r.apPort)
        r.own.insert(key, e);
    r.all.insert(key, e);
}

void Monitor::finishLayoutRead()
{
    LayoutRead read = m_layoutRead;
    stopLayoutRead();

    // A closing port status, of another report ID than the entries: an answer that went astray
    // during the read shows here at the latest, and so does a list changed meanwhile.
    const std::optional<KV830::PortStatus> status = askPortStatus();
    if (!status) {
        qInfo("The switch did not confirm the layout just read: the previous one stays in force");
        return;
    }
    const int listNow = status->listNum;
    const bool strays = m_device.m_command.strayAnswers() != read.strays;
    if (strays || listNow != read.count) {
        if (read.attempt >= s_layoutAttempts) {
            qInfo("The switch's layout could not be read in step (%d attempts): the previous one stays in force",
                read.attempt);
            return;
        }
        qInfo("%s: reading the layout again",
            strays ? "Answers out of step during the layout read" : "The switch's layout changed during its read");
        m_listCount = listNow;
        if (m_listCount >= 1)
            startLayoutRead(read.attempt + 1);
        return;
    }

    m_ownMonitors = read.own;
    m_allMonitors = read.all;
    m_layoutEntries = read.entries;
    m_layoutApPort = read.apPort;
    m_watchNext = 1;
    computeOwnGeometry();
    // The monitor under the pointer in the new layout is the one its crossings start from; a
    // cell of the old layout may now be another monitor or none.
    if (m_lastPointer) {
        for (const MonitorLogic::OwnCell &cell : m_ownCells) {
            if (MonitorLogic::isInside(cell, float(m_lastPointer->x()), float(m_lastPointer->y()))) {
                m_lastRow = cell.row;
                m_lastCol = cell.col;
                break;
            }
        }
    }
    refreshDesktop();
    checkLayout();
}

bool Monitor::layoutWatching() const
{
    return getInstance()->m_watch.active;
}

void Monitor::watchLayout()
{
    Monitor *engine = getInstance();
    if (engine != this)
        return engine->watchLayout();
    if (!m_connected || m_layoutRead.active || m_watch.active)
        return;
    // A switch that does not answer is the heartbeat's to tell.
    const std::optional<KV830::PortStatus> status = askPortStatus();
    if (!status)
        return;
    const int list = status->listNum;
    // Nothing to read: the layout in force stays, as after a count of 0 at connection.
    if (list < 1)
        return;
    if (status->apPort != m_layoutApPort)
        return readLayoutFrom(*status, "This computer's port on the switch changed");
    if (list != m_layoutEntries.size())
        return readLayoutFrom(*status, "The switch's number of monitor entries changed");
    // Sent with every upload, with the entries.
    if (status->mousePosition != m_mousePosition)
        return readLayoutFrom(*status, "The switch's mouse settings changed");

    // The same count: the entries themselves, a share of them per heartbeat.
    m_watch.active = true;
    m_watch.left = (list + s_watchBeats - 1) / s_watchBeats;
    m_watch.strays = m_device.m_command.strayAnswers();
    if (!m_watchTimer) {
        // Made without parent and never deleted, like the other timers of the engine.
        m_watchTimer = new QTimer();
        m_watchTimer->setInterval(1);
        connect(m_watchTimer, &QTimer::timeout, this, &Monitor::watchSlice);
    }
    m_watchTimer->start();
}

void Monitor::watchSlice()
{
    const int count = m_layoutEntries.size();
    QElapsedTimer turn;
    turn.start();
    qint64 longest = 0;
    while (m_watch.active && m_watch.left > 0 && count > 0) {
        if (m_watchNext < 1 || m_watchNext > count)
            m_watchNext = 1;
        const int index = m_watchNext;
        m_watchNext = index % count + 1;
        --m_watch.left;
        const qint64 before = turn.elapsed();
        const std::optional<KV830::MonitorEntry> entry = m_device.getOneListOfPortNum(index);
        longest = qMax(longest, turn.elapsed() - before);
        // Nothing to conclude from answers out of step, nor more to ask a switch that failed
        // to answer: the next heartbeat goes on from the next entry.
        if (!entry || m_device.m_command.strayAnswers() != m_watch.strays)
            break;
        if (entry != m_layoutEntries.at(index - 1)) {
            stopWatch();
            qInfo("Monitor entry %d of the switch changed: reading the switch's layout again", index);
            m_listCount = count;
            startLayoutRead(1);
            return;
        }
        if (turn.elapsed() + longest > s_layoutTurnMsec)
            return;
    }
    stopWatch();
}

void Monitor::stopWatch()
{
    m_watch = LayoutWatch();
    if (m_watchTimer)
        m_watchTimer->stop();
}

void Monitor::rereadLayout(const char *why)
{
    if (!m_connected)
        return;
    if (const std::optional<KV830::PortStatus> status = askPortStatus())
        readLayoutFrom(*status, why);
}

void Monitor::readLayoutFrom(const KV830::PortStatus &portStatus, const char *why)
{
    m_apPort = portStatus.apPort;
    m_listCount = portStatus.listNum;
    m_mousePosition = portStatus.mousePosition;
    if (m_listCount < 1)
        return;
    qInfo("%s: reading the switch's layout again", why);
    startLayoutRead(1);
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

    QStringList small;
    for (const QVariantMap &e : qAsConst(m_allMonitors)) {
        if (intOf(e, QStringLiteral("portNum")) != m_apPort && isTooSmall(e)) {
            small << QStringLiteral("port %1 in cell %2,%3, %4 x %5")
                         .arg(intOf(e, QStringLiteral("portNum")))
                         .arg(intOf(e, QStringLiteral("row")))
                         .arg(intOf(e, QStringLiteral("col")))
                         .arg(intOf(e, QStringLiteral("width")))
                         .arg(intOf(e, QStringLiteral("height")));
        }
    }
    if (!small.isEmpty()) {
        qInfo("The switch's layout has monitors smaller than %d x %d (%s): no real monitor is that small",
            MonitorLogic::MinMonitorWidth, MonitorLogic::MinMonitorHeight,
            qPrintable(small.join(QStringLiteral("; "))));
    }
}

bool Monitor::isTooSmall(const QVariantMap &e)
{
    return intOf(e, QStringLiteral("width")) < MonitorLogic::MinMonitorWidth
        || intOf(e, QStringLiteral("height")) < MonitorLogic::MinMonitorHeight;
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

    standInForSmallMonitors();

    m_cells.clear();
    for (const QVariantMap &e : qAsConst(m_allMonitors)) {
        const CellEntry cell {
            intOf(e, QStringLiteral("portNum")), intOf(e, QStringLiteral("row")), intOf(e, QStringLiteral("col"))};
        m_cells.insert(cellHash(cell.row, cell.col), cell);
    }
    rebuildCrossable();
}

// A monitor smaller than any real one has edge bands the pointer never meets (of 1 x 1, none at
// all): the user would be stranded here. Such a monitor stands for the screen it lies on, the
// one whose edges the user sees, unless a monitor of a real size has that screen already;
// without any screen it is widened to the smallest real size.
void Monitor::standInForSmallMonitors()
{
    using MonitorLogic::OwnCell;
    const auto tooSmall = [](const OwnCell &m) {
        return m.width < float(MonitorLogic::MinMonitorWidth) || m.height < float(MonitorLogic::MinMonitorHeight);
    };
    if (std::none_of(m_ownCells.begin(), m_ownCells.end(), tooSmall))
        return;
    const QVector<QRect> desktop = screens();
    for (OwnCell &m : m_ownCells) {
        if (!tooSmall(m))
            continue;
        const QPointF at(m.minX, m.minY);
        QRectF area;
        double nearest = std::numeric_limits<double>::max();
        for (const QRect &s : desktop) {
            if (s.isEmpty())
                continue;
            const QRectF r(s);
            const double dx = std::max({r.left() - at.x(), 0.0, at.x() - r.right()});
            const double dy = std::max({r.top() - at.y(), 0.0, at.y() - r.bottom()});
            if (dx * dx + dy * dy < nearest)
                nearest = dx * dx + dy * dy, area = r;
        }
        const bool taken = std::any_of(m_ownCells.begin(), m_ownCells.end(), [&](const OwnCell &o) {
            return !tooSmall(o) && QRectF(o.minX, o.minY, o.maxX - o.minX, o.maxY - o.minY).intersects(area);
        });
        const QString was
            = QStringLiteral("The switch's layout gives this computer a monitor of %1 x %2 in cell %3,%4, "
                             "smaller than %5 x %6")
                  .arg(m.width)
                  .arg(m.height)
                  .arg(m.row)
                  .arg(m.col)
                  .arg(MonitorLogic::MinMonitorWidth)
                  .arg(MonitorLogic::MinMonitorHeight);
        if (taken) {
            qInfo(
                "%s: a monitor of a real size lies on its screen, and the pointer leaves by that one", qPrintable(was));
            continue;
        }
        if (area.isEmpty()) {
            area = QRectF(m.minX, m.minY, std::max(m.width, float(MonitorLogic::MinMonitorWidth)),
                std::max(m.height, float(MonitorLogic::MinMonitorHeight)));
        }
        m.minX = m.left = float(area.x());
        m.minY = m.top = float(area.y());
        m.maxX = m.right = float(area.x() + area.width());
        m.maxY = m.bottom = float(area.y() + area.height());
        m.width = float(area.width());
        m.height = float(area.height());
        qInfo("%s: the pointer leaves it by the edges of %g x %g at %g,%g", qPrintable(was), area.width(),
            area.height(), area.x(), area.y());
    }
}

const Monitor::CellEntry *Monitor::cellAt(MonitorLogic::Cell cell) const
{
    const auto it = m_cells.constFind(cellHash(cell.row, cell.col));
    return it == m_cells.constEnd() ? nullptr : &it.value();
}

std::optional<KV830::PortStatus> Monitor::askPortStatus()
{
    // The ports present as of the last answer, whoever asked: the crossing's target search
    // reads them also when its own query gets no answer.
    const std::optional<KV830::PortStatus> status = m_device.getPortStatus();
    if (status)
        m_portMask = status->portMask;
    return status;
}
