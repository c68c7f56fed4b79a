#pragma once

#include "kv830data.h"
#include "monitorlogic.h"

#include <QByteArray>
#include <QJsonObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

// The switch's contents as spanlinkctl reads and writes them, and the plain functions that
// turn them into JSON, a drawn grid or a first guess from this desktop's screens.
namespace SwitchLayout
{
constexpr int PortCount = 8;
constexpr int GridSize = 16; // rows and columns, numbered from 1
constexpr int MaxEntries = 255; // the entry count travels in one byte
constexpr int MaxPosition = 5; // parking points of the mouse-position setting
constexpr int MinWidth = MonitorLogic::MinMonitorWidth; // smaller is no real monitor, and strands the pointer
constexpr int MinHeight = MonitorLogic::MinMonitorHeight;
constexpr qint64 MaxFileSize = 1024 * 1024;

// The agent's own monitor entry, as read from the switch and uploaded to it.
using KV830::MonitorEntry;

// The switch reports the parking position back but not acceleration and speed, so each
// value says whether the file gave it.
struct Mouse {
    int position = 0;
    int acceleration = 0;
    int speed = 0;
    bool hasPosition = false;
    bool hasAcceleration = false;
    bool hasSpeed = false;
};

struct Layout {
    QVector<MonitorEntry> monitors;
    Mouse mouse;
};

// Reads a layout document. On a bad one returns false and sets `error` to one line naming the
// entry and the field; every rule is checked before anything is sent. A field given twice in
// one object is refused: a JSON reader keeps only one of them, silently.
bool parse(const QByteArray &json, Layout &layout, QString &error);
// The document that parse() reads back to the same layout; only the mouse values the layout has.
QJsonObject toJson(const Layout &layout);
QJsonObject toJson(const MonitorEntry &monitor);

// The 16 x 16 grid as text: only the rows and columns that hold a monitor, each cell with its
// port and resolution, the cells of `thisPort` marked; entries the grid cannot show are listed.
QString drawGrid(const QVector<MonitorEntry> &monitors, int thisPort);

// Screens of this desktop in device pixels, as monitor entries of `port` whose top-left monitor
// lies in cell (row, col), each in the nearest cell counted in its own size, the next free one
// when taken (a warning each); a warning when the agent would not find the screens from these
// cells. False with `error` when they cannot be placed in the grid at all.
bool placeScreens(const QVector<QRect> &screens, int port, int row, int col, QVector<MonitorEntry> &monitors,
    QStringList &warnings, QString &error);
} // namespace SwitchLayout
