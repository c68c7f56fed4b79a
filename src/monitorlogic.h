#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QVector>

#include <cstdint>
#include <limits>
#include <optional>

// The engine's decisions as plain functions: numbers in, a decision out. Monitor feeds them
// from its layout and acts on what they return.
namespace MonitorLogic
{

// The switch's grid: 16 rows by 16 columns, numbered from 1.
constexpr int GridSize = 16;

// The smallest monitor a layout may hold: VGA's smallest graphics mode, below the small panels
// people attach (320 x 240, 480 x 320), and room for the 10-pixel corners with middle rows and
// columns between them. A smaller entry is no real monitor.
constexpr int MinMonitorWidth = 320;
constexpr int MinMonitorHeight = 200;

struct Cell {
    int row = 0;
    int col = 0;
    bool operator==(const Cell &o) const { return row == o.row && col == o.col; }
    bool operator!=(const Cell &o) const { return !(*this == o); }
};

// "row,col" in decimal; maps keyed by it iterate in code-unit order of these strings.
QString cellKey(int row, int col);

// One of this computer's monitors in the switch's grid, with its resolution.
struct GridMonitor {
    int row = 0;
    int col = 0;
    int width = 0;
    int height = 0;
};

// Where this computer's monitors lie on its desktop, by the cells alone: a monitor's left edge
// is the sum of the widths left of it in its row, counted from the origin column, its top the
// sum of the heights above it in its column; an empty cell in between counts with the
// monitor's own size. Negative to the left of or above the origin. In the order given.
QVector<QRect> placeByCells(const QVector<GridMonitor> &monitors, Cell origin);

// The desktop's screens matched to the monitors: same count, same sizes, and laid out as the
// cells are (a column further right lies further right, one column overlaps horizontally;
// rows alike). The screen of each monitor, in the order given; none, with what differs in
// `why`, when they do not match.
std::optional<QVector<QRect>> matchScreens(
    const QVector<GridMonitor> &monitors, const QVector<QRect> &screens, QString *why = nullptr);

// One of this computer's monitors as the pointer handler reads it, converted once when the
// layout is built. Bounds and sizes are single precision, as the crossing rules are written.
struct OwnCell {
    int port = 0;
    int row = 0;
    int col = 0;
    float minX = 0, minY = 0, maxX = 0, maxY = 0;
    float width = 0, height = 0;
    float left = 0, top = 0; // the monitor's pixel bounds on this desktop
    float right = 0, bottom = 0;
};

OwnCell makeOwnCell(int port, int row, int col, const QRect &monitor);

// Inside the cell: left + 1 <= x <= right, top + 1 <= y < bottom.
bool isInside(const OwnCell &m, float x, float y);

// Direction codes 1 to 8 (corners 1, 3, 6, 8; edges 2, 4, 5, 7), 0 for none.
struct Band {
    int code = 0;
    int percent = 0;
};
// The right and bottom bands reach on past the monitor only for positions at or past the
// desktop's right or bottom edge (desktopRight, desktopBottom: the first column and row past
// the desktop): a monitor of the layout smaller than the screen leaves the rest of the screen
// inside. Without a desktop (the defaults) they have no upper bound. The left and top bands
// take in every position at or before the desktop's left or top edge (desktopLeft, desktopTop:
// its first column and row, 0 unless a screen lies left of or above the primary one).
constexpr float NoDesktop = std::numeric_limits<float>::lowest();
Band classify(std::int32_t X, std::int32_t Y, const OwnCell &m, float edgeMargin, float cornerMargin,
    float desktopRight = NoDesktop, float desktopBottom = NoDesktop, std::int32_t desktopLeft = 0,
    std::int32_t desktopTop = 0);

// The desktop the screens make up: their bounding rectangle.
QRect desktopOf(const QVector<QRect> &screens);
// One line saying how this computer's monitors in the switch's layout (their pixel rectangles)
// and the desktop's screens disagree in count or size; empty when they agree.
QString layoutMismatch(const QVector<QRect> &ownMonitors, const QVector<QRect> &screens);

bool isCorner(int code);
Cell neighbour(int code, Cell from);

// Walks from `from` in the direction of `code` and returns the first cell for which
// qualifies(cell) holds; edges move along the row or column, corners along the diagonal
// through `from`, wrapping around the grid only when `cyclic`.
template <typename Qualifies> std::optional<Cell> walk(int code, Cell from, bool cyclic, Qualifies &&qualifies);

// Where this computer's pointer is left after it handed the focus away.
QPoint parkingPoint(int mousePosition, const OwnCell &m, float cornerMargin);

// Where the pointer enters a monitor of this computer: on the side opposite to code d, at
// `percent` along it.
QPoint placement(int d, int percent, const QRect &monitor, int edgeMargin, int cornerMargin);

// Truncation toward zero that stays defined for NaN, infinities and values beyond int.
int truncToInt(double value);

// Pointer speed up to a moment: the straight distance between the first position seen in the
// window that ends then and the last position seen, per millisecond of the window. A small
// ring of the latest samples, one per millisecond, so that a window of up to Capacity - 1
// milliseconds is always whole; no allocation.
class SpeedMeter
{
public:
    static constexpr int Capacity = 128;

    // A sample in the same millisecond as the last one (or earlier: the clock never goes
    // back, but a sample must not go before the last) replaces its position.
    void add(std::int64_t msec, QPoint pos);
    // The speed over the `windowMsec` milliseconds up to `now`; 0 with no sample in them.
    double speed(std::int64_t now, int windowMsec) const;
    int count() const { return m_count; }
    void clear() { m_count = 0; }

private:
    struct Sample {
        std::int64_t msec;
        std::int32_t x, y;
    };
    const Sample &at(int i) const { return m_samples[(m_next - m_count + i + Capacity) % Capacity]; } // 0: oldest

    Sample m_samples[Capacity] = {};
    int m_next = 0; // where the next sample goes
    int m_count = 0;
};

// ---- walk, a template so that the lookup of each candidate is inlined

namespace detail
{
struct Step {
    int dRow, dCol;
    Cell wrapTo; // where a step that leaves the grid lands
    int length; // steps at most
    bool wraps; // diagonal walks wrap when leaving the grid, edge walks coordinate-wise
};
Step stepFor(int code, Cell from);
} // namespace detail

template <typename Qualifies> std::optional<Cell> walk(int code, Cell from, bool cyclic, Qualifies &&qualifies)
{
    const detail::Step step = detail::stepFor(code, from);
    Cell cur = from;
    for (int i = 0; i < step.length; ++i) {
        Cell next {cur.row + step.dRow, cur.col + step.dCol};
        if (step.wraps) {
            if (next.row == 0 || next.row == GridSize + 1 || next.col == 0 || next.col == GridSize + 1) {
                if (!cyclic)
                    return std::nullopt;
                next = step.wrapTo;
            }
        } else {
            int &moved = step.dRow != 0 ? next.row : next.col;
            if (moved == 0 || moved == GridSize + 1) {
                if (!cyclic)
                    return std::nullopt;
                moved = moved == 0 ? GridSize : 1;
            }
        }
        cur = next;
        if (qualifies(cur))
            return cur;
    }
    return std::nullopt;
}

} // namespace MonitorLogic
