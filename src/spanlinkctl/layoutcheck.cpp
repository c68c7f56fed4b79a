#include "layoutcheck.h"

#include <QHash>
#include <QMap>

#include <algorithm>

namespace SwitchLayout
{
namespace
{
bool inGrid(const MonitorEntry &m)
{
    return m.row >= 1 && m.row <= GridSize && m.col >= 1 && m.col <= GridSize;
}

int cellOf(int row, int col)
{
    return row * (GridSize + 2) + col;
}
} // namespace

QVector<Problem> check(const Layout &layout)
{
    QVector<Problem> out;
    const QVector<MonitorEntry> &ms = layout.monitors;
    if (ms.size() > MaxEntries)
        out.append({-1, QStringLiteral("monitors"),
            QStringLiteral("%1 monitors, the switch holds at most %2").arg(ms.size()).arg(MaxEntries)});
    if (layout.mouse.position < 0 || layout.mouse.position > MaxPosition)
        out.append({-1, QStringLiteral("mouse"),
            QStringLiteral("mouse position %1, must be 0 to %2").arg(layout.mouse.position).arg(MaxPosition)});

    QHash<int, int> firstInCell; // cell -> first entry there
    QMap<int, QVector<int>> byPort; // port -> its entries in the grid
    for (int i = 0; i < ms.size(); ++i) {
        const MonitorEntry &m = ms.at(i);
        if (m.port < 1 || m.port > PortCount)
            out.append({i, QStringLiteral("port"),
                QStringLiteral("port %1 does not exist: ports are 1 to %2").arg(m.port).arg(PortCount)});
        if (m.index < 1 || m.index > 255)
            out.append(
                {i, QStringLiteral("index"), QStringLiteral("monitor number %1, must be 1 to 255").arg(m.index)});
        if (m.width < MinWidth || m.width > 65535 || m.height < MinHeight || m.height > 65535)
            out.append({i, QStringLiteral("size"),
                QStringLiteral("size %1 by %2, must be %3 to 65535 by %4 to 65535")
                    .arg(m.width)
                    .arg(m.height)
                    .arg(MinWidth)
                    .arg(MinHeight)});
        if (!inGrid(m)) {
            out.append({i, QStringLiteral("cell"),
                QStringLiteral("row %1 column %2 lies outside the %3 by %3 grid").arg(m.row).arg(m.col).arg(GridSize)});
            continue;
        }
        const int cell = cellOf(m.row, m.col);
        const auto first = firstInCell.constFind(cell);
        if (first != firstInCell.constEnd()) {
            const MonitorEntry &o = ms.at(*first);
            out.append({i, QStringLiteral("cell"),
                QStringLiteral("row %1 column %2 also holds port %3, monitor %4")
                    .arg(m.row)
                    .arg(m.col)
                    .arg(o.port)
                    .arg(o.index)});
            out.append({*first, QStringLiteral("cell"),
                QStringLiteral("row %1 column %2 also holds port %3, monitor %4")
                    .arg(m.row)
                    .arg(m.col)
                    .arg(m.port)
                    .arg(m.index)});
        } else {
            firstInCell.insert(cell, i);
        }
        byPort[m.port].append(i);
    }

    // A computer's monitors form one desktop: their cells must join side by side. The largest
    // group (the earlier one of equals) counts as the desktop; the others are reported.
    for (auto p = byPort.cbegin(); p != byPort.cend(); ++p) {
        const QVector<int> &entries = p.value();
        QHash<int, int> cells; // cell -> entry
        for (int i : entries)
            cells.insert(cellOf(ms.at(i).row, ms.at(i).col), i);
        QHash<int, int> group; // entry -> group
        QVector<int> sizes;
        for (int start : entries) {
            if (group.contains(start))
                continue;
            const int g = sizes.size();
            sizes.append(0);
            QVector<int> todo {start};
            group.insert(start, g);
            while (!todo.isEmpty()) {
                const MonitorEntry &m = ms.at(todo.takeLast());
                ++sizes[g];
                for (const int n : {cellOf(m.row - 1, m.col), cellOf(m.row + 1, m.col), cellOf(m.row, m.col - 1),
                         cellOf(m.row, m.col + 1)}) {
                    const auto it = cells.constFind(n);
                    if (it != cells.constEnd() && !group.contains(*it)) {
                        group.insert(*it, g);
                        todo.append(*it);
                    }
                }
            }
        }
        if (sizes.size() < 2)
            continue;
        const int main = int(std::max_element(sizes.cbegin(), sizes.cend()) - sizes.cbegin());
        for (int i : entries) {
            if (group.value(i) != main)
                out.append({i, QStringLiteral("touch"),
                    QStringLiteral("does not touch the other monitors of port %1").arg(p.key())});
        }
    }
    return out;
}
} // namespace SwitchLayout
