#include "monitorlogic.h"

#include <QHash>
#include <QStringList>

#include <algorithm>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace MonitorLogic
{

QString cellKey(int row, int col)
{
    return QString::number(row) + QLatin1Char(',') + QString::number(col);
}

QVector<QRect> placeByCells(const QVector<GridMonitor> &monitors, Cell origin)
{
    QHash<quint64, const GridMonitor *> at;
    const auto key = [](int row, int col) {
        return (quint64(quint32(row)) << 32) | quint32(col);
    };
    for (const GridMonitor &m : monitors)
        at.insert(key(m.row, m.col), &m);
    // The cells from `from` up to `to` (excluded), each with its monitor's size or `own`.
    const auto span = [&](int from, int to, int own, auto sizeAt) {
        int sum = 0;
        for (int i = qMin(from, to); i < qMax(from, to); ++i)
            sum += sizeAt(i, own);
        return from <= to ? sum : -sum;
    };
    QVector<QRect> out;
    for (const GridMonitor &m : monitors) {
        const int left = span(origin.col, m.col, m.width, [&](int col, int own) {
            const GridMonitor *o = at.value(key(m.row, col));
            return o ? o->width : own;
        });
        const int top = span(origin.row, m.row, m.height, [&](int row, int own) {
            const GridMonitor *o = at.value(key(row, m.col));
            return o ? o->height : own;
        });
        out.append(QRect(left, top, m.width, m.height));
    }
    return out;
}

namespace
{
QString sizes(const QVector<QSize> &list)
{
    QStringList parts;
    for (const QSize &s : list)
        parts << QStringLiteral("%1 x %2").arg(s.width()).arg(s.height());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

// Two monitors' cells against their screens: left of, in the same column as, or right of
// each other, and the same for rows.
bool arrangedAlike(const GridMonitor &a, const QRect &sa, const GridMonitor &b, const QRect &sb)
{
    const auto agree = [](int cellA, int cellB, int startA, int endA, int startB, int endB) {
        if (cellA == cellB)
            return startA < endB && startB < endA; // they overlap
        return cellA < cellB ? startA < startB && endA < endB : startB < startA && endB < endA;
    };
    return agree(a.col, b.col, sa.left(), sa.x() + sa.width(), sb.left(), sb.x() + sb.width())
        && agree(a.row, b.row, sa.top(), sa.y() + sa.height(), sb.top(), sb.y() + sb.height());
}

bool assign(const QVector<GridMonitor> &monitors, const QVector<QRect> &screens, QVector<int> &chosen, int next)
{
    if (next == monitors.size())
        return true;
    const GridMonitor &m = monitors.at(next);
    for (int s = 0; s < screens.size(); ++s) {
        if (chosen.contains(s) || screens.at(s).size() != QSize(m.width, m.height))
            continue;
        bool fits = true;
        for (int i = 0; i < next && fits; ++i)
            fits = arrangedAlike(monitors.at(i), screens.at(chosen.at(i)), m, screens.at(s));
        if (!fits)
            continue;
        chosen.append(s);
        if (assign(monitors, screens, chosen, next + 1))
            return true;
        chosen.removeLast();
    }
    return false;
}
} // namespace

std::optional<QVector<QRect>> matchScreens(
    const QVector<GridMonitor> &monitors, const QVector<QRect> &screens, QString *why)
{
    // A desk has a handful of screens; the search below tries orders, so it is bounded.
    constexpr int s_mostScreens = 16;
    QString reason;
    QVector<QSize> layoutSizes, screenSizes;
    for (const GridMonitor &m : monitors)
        layoutSizes.append(QSize(m.width, m.height));
    for (const QRect &s : screens)
        screenSizes.append(s.size());
    const auto bySize = [](const QSize &a, const QSize &b) {
        return a.width() != b.width() ? a.width() < b.width() : a.height() < b.height();
    };
    QVector<QSize> sortedLayout = layoutSizes, sortedScreens = screenSizes;
    std::sort(sortedLayout.begin(), sortedLayout.end(), bySize);
    std::sort(sortedScreens.begin(), sortedScreens.end(), bySize);

    QVector<int> chosen;
    if (monitors.isEmpty() || monitors.size() != screens.size()) {
        reason = QStringLiteral("%1 monitor(s) of this computer in the layout, %2 screen(s) on the desktop")
                     .arg(monitors.size())
                     .arg(screens.size());
    } else if (sortedLayout != sortedScreens) {
        reason = QStringLiteral("the sizes differ: %1 in the layout, %2 on the desktop")
                     .arg(sizes(layoutSizes), sizes(screenSizes));
    } else if (monitors.size() > s_mostScreens) {
        reason = QStringLiteral("more than %1 screens").arg(s_mostScreens);
    } else if (!assign(monitors, screens, chosen, 0)) {
        reason = QStringLiteral("the screens do not lie as the cells' rows and columns do");
    }
    if (!reason.isEmpty()) {
        if (why)
            *why = reason;
        return std::nullopt;
    }
    QVector<QRect> out;
    for (const int s : qAsConst(chosen))
        out.append(screens.at(s));
    return out;
}

OwnCell makeOwnCell(int port, int row, int col, const QRect &monitor)
{
    OwnCell m;
    m.port = port;
    m.row = row;
    m.col = col;
    m.width = float(monitor.width());
    m.height = float(monitor.height());
    m.minX = m.left = float(monitor.x());
    m.minY = m.top = float(monitor.y());
    // In float from the ints, as a monitor of 65535 pixels at a far cell still adds up exactly.
    m.maxX = m.right = float(monitor.x() + monitor.width());
    m.maxY = m.bottom = float(monitor.y() + monitor.height());
    return m;
}

bool isInside(const OwnCell &m, float x, float y)
{
    return m.left + 1.0f <= x && x <= m.right && m.top + 1.0f <= y && y < m.bottom;
}

namespace
{
// A share of a length in percent; a monitor of no size gives 0 rather than a division by zero.
int percentAlong(float offset, float size)
{
    if (size == 0.0f)
        return 0;
    return truncToInt((offset / size) * 100.0f);
}
} // namespace

Band classify(std::int32_t X, std::int32_t Y, const OwnCell &m, float E, float C, float desktopRight,
    float desktopBottom, std::int32_t desktopLeft, std::int32_t desktopTop)
{
    const float x = float(X);
    const float y = float(Y);
    // Past the monitor's far side only at or past the desktop's edge (its last pixel on).
    const bool rightReach = x <= m.maxX || x >= desktopRight - 1.0f;
    const bool bottomReach = y <= m.maxY || y >= desktopBottom - 1.0f;

    const bool leftCorner = X <= desktopLeft || (m.minX <= x && x <= m.minX + C);
    const bool leftEdge = X <= desktopLeft || (m.minX <= x && x <= m.minX + E);
    const bool topCorner = Y <= desktopTop || (m.minY <= y && y <= m.minY + C);
    const bool topEdge = Y <= desktopTop || (m.minY <= y && y <= m.minY + E);
    const bool rightCorner = m.maxX - C <= x && x <= m.maxX;
    const bool rightEdge = x >= m.maxX - E && rightReach;
    const bool bottomCorner = y >= m.maxY - C && bottomReach;
    const bool bottomEdge = y >= m.maxY - E && bottomReach;
    const bool middleCols = m.minX + C < x && x < m.maxX - C;
    const bool middleRows = m.minY + C < y && y < m.maxY - C;

    if (leftCorner && topCorner)
        return {1, 0};
    if (leftEdge && middleRows)
        return {2, percentAlong(y - m.top, m.height)};
    if (leftCorner && bottomCorner)
        return {3, 0};
    if (middleCols && topEdge)
        return {4, percentAlong(x - m.left, m.width)};
    if (middleCols && bottomEdge)
        return {5, percentAlong(x - m.left, m.width)};
    if (rightCorner && topCorner)
        return {6, 0};
    if (rightEdge && middleRows)
        return {7, percentAlong(y - m.top, m.height)};
    if (rightCorner && bottomCorner)
        return {8, 0};
    return {};
}

QRect desktopOf(const QVector<QRect> &screens)
{
    QRect desktop;
    for (const QRect &s : screens)
        desktop |= s;
    return desktop;
}

QString layoutMismatch(const QVector<QRect> &ownMonitors, const QVector<QRect> &screens)
{
    // The layout counts from the desktop's top-left corner.
    const QPoint origin = desktopOf(screens).topLeft();
    QVector<QRect> placed;
    for (const QRect &s : screens)
        placed.append(s.translated(-origin));
    bool agree = ownMonitors.size() == placed.size();
    for (const QRect &m : ownMonitors)
        agree = agree && placed.contains(m);
    if (agree)
        return QString();
    const auto list = [](const QVector<QRect> &rects) {
        QStringList parts;
        for (const QRect &r : rects)
            parts << QStringLiteral("%1 x %2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
        return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
    };
    return QStringLiteral("The switch's layout does not match this desktop: %1 monitor(s) of this computer in the "
                          "layout (%2), %3 screen(s) on the desktop (%4)")
        .arg(ownMonitors.size())
        .arg(list(ownMonitors))
        .arg(placed.size())
        .arg(list(placed));
}

bool isCorner(int code)
{
    return code == 1 || code == 3 || code == 6 || code == 8;
}

namespace
{
struct Delta {
    int dRow, dCol;
};

Delta deltaOf(int code)
{
    switch (code) {
    case 1:
        return {-1, -1};
    case 2:
        return {0, -1};
    case 3:
        return {1, -1};
    case 4:
        return {-1, 0};
    case 5:
        return {1, 0};
    case 6:
        return {-1, 1};
    case 7:
        return {0, 1};
    case 8:
        return {1, 1};
    }
    return {0, 0};
}
} // namespace

Cell neighbour(int code, Cell from)
{
    const Delta d = deltaOf(code);
    return {from.row + d.dRow, from.col + d.dCol};
}

namespace detail
{
Step stepFor(int code, Cell from)
{
    const Delta d = deltaOf(code);
    if (d.dRow == 0 && d.dCol == 0)
        return {0, 0, {}, 0, false};
    if (!isCorner(code))
        return {d.dRow, d.dCol, {}, GridSize, false};

    if (code == 1 || code == 8) {
        // The diagonal of constant row - col.
        const int D = from.row - from.col;
        const int length = GridSize - std::abs(D);
        const Cell upperLeft = D >= 0 ? Cell {D + 1, 1} : Cell {1, 1 - D};
        const Cell lowerRight = D >= 0 ? Cell {GridSize, GridSize - D} : Cell {GridSize + D, GridSize};
        return {d.dRow, d.dCol, code == 1 ? lowerRight : upperLeft, length, true};
    }
    // The anti-diagonal of constant row + col.
    const int S = from.row + from.col;
    const int length = S <= GridSize ? S - 1 : 2 * GridSize + 1 - S;
    const Cell upperRight = S <= GridSize + 1 ? Cell {1, S - 1} : Cell {S - GridSize, GridSize};
    const Cell lowerLeft = S <= GridSize + 1 ? Cell {S - 1, 1} : Cell {GridSize, S - GridSize};
    return {d.dRow, d.dCol, code == 3 ? upperRight : lowerLeft, length, true};
}
} // namespace detail

QPoint parkingPoint(int mousePosition, const OwnCell &m, float C)
{
    // Bound and margin first, then the 3, in single precision.
    const float nearLeft = m.minX + C + 3.0f;
    const float nearTop = m.minY + C + 3.0f;
    const float nearRight = m.maxX - C - 3.0f;
    const float nearBottom = m.maxY - C - 3.0f;
    switch (mousePosition) {
    case 1:
        return {truncToInt(nearLeft), truncToInt(nearTop)};
    case 2:
        return {truncToInt(nearRight), truncToInt(nearTop)};
    case 3:
        return {truncToInt(nearLeft), truncToInt(nearBottom)};
    case 5: {
        // The centre of the monitor, in double precision.
        return {truncToInt(m.minX + 0.5 * double(m.width)), truncToInt(m.minY + 0.5 * double(m.height))};
    }
    }
    return {truncToInt(nearRight), truncToInt(nearBottom)};
}

QPoint placement(int d, int P, const QRect &monitor, int E, int K)
{
    // 32-bit signed arithmetic, as the switch's numbers allow (cells up to 255, sizes up to 65535).
    const int w = monitor.width(), h = monitor.height();
    const int left = monitor.x(), top = monitor.y(), right = left + w, bottom = top + h;
    switch (d) {
    case 1:
        return {right - K - 3, bottom - K - 3};
    case 2:
        return {right - E - 3, top + (h * P) / 100};
    case 3:
        return {right - K - 3, top + K + 3};
    case 4:
        return {left + (w * P) / 100, bottom - E - 3};
    case 5:
        return {left + (w * P) / 100, top + E + 3};
    case 6:
        return {left + K + 3, bottom - K - 3};
    case 7:
        return {left + E + 3, top + (h * P) / 100};
    case 8:
        return {left + K + 3, top + K + 3};
    }
    return {0, 0};
}

int truncToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(value);
}

void SpeedMeter::add(std::int64_t msec, QPoint pos)
{
    if (m_count > 0) {
        Sample &last = m_samples[(m_next + Capacity - 1) % Capacity];
        if (msec <= last.msec) {
            last.x = pos.x(), last.y = pos.y();
            return;
        }
    }
    m_samples[m_next] = {msec, pos.x(), pos.y()};
    m_next = (m_next + 1) % Capacity;
    if (m_count < Capacity)
        ++m_count;
}

double SpeedMeter::speed(std::int64_t now, int windowMsec) const
{
    const std::int64_t from = now - windowMsec;
    if (m_count == 0 || at(m_count - 1).msec < from)
        return 0.0;
    // The oldest sample in the window: times only grow along the ring.
    int lo = 0, hi = m_count - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (at(mid).msec < from)
            lo = mid + 1;
        else
            hi = mid;
    }
    const Sample &first = at(lo);
    const Sample &last = at(m_count - 1);
    const double dx = double(last.x) - first.x;
    const double dy = double(last.y) - first.y;
    return std::sqrt(dx * dx + dy * dy) / windowMsec;
}

} // namespace MonitorLogic
