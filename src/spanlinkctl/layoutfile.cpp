#include "layoutfile.h"
#include "monitorlogic.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace SwitchLayout
{
namespace
{
const char *const s_monitorKeys[] = {"port", "index", "row", "col", "width", "height"};
const char *const s_mouseKeys[] = {"position", "acceleration", "speed"};

// Text from the file in quotes as JSON writes it: one line, whatever it holds, and not too long.
QString quoted(const QString &text)
{
    const QByteArray json = QJsonDocument(QJsonArray {text.left(40)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QString describe(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        // As few digits as tell the value apart: 65535.00000000001 is not shown as 65535.
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QJsonValue::String:
        return quoted(v.toString());
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

// One whole number in [min, max]; a missing key is an error only when `required`.
bool readInt(const QJsonObject &o, const char *key, int min, int max, bool required, const QString &where, int &value,
    bool &present, QString &error)
{
    const QString name = QLatin1String(key);
    present = o.contains(name);
    if (!present) {
        if (required)
            error = QStringLiteral("%1: \"%2\" is missing").arg(where, name);
        return !required;
    }
    const QJsonValue v = o.value(name);
    const double d = v.toDouble();
    if (!v.isDouble() || d != std::floor(d)) {
        error = QStringLiteral("%1: \"%2\" must be a whole number from %3 to %4, not %5")
                    .arg(where, name)
                    .arg(min)
                    .arg(max)
                    .arg(describe(v));
        return false;
    }
    if (d < min || d > max) {
        error = QStringLiteral("%1: \"%2\" is %3, must be %4 to %5").arg(where, name, describe(v)).arg(min).arg(max);
        return false;
    }
    value = int(d);
    return true;
}

template <size_t N>
bool onlyKnownKeys(const QJsonObject &o, const char *const (&keys)[N], const QString &where, QString &error)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (std::none_of(
                std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == QLatin1String(k); })) {
            QStringList known;
            for (const char *k : keys)
                known << QLatin1Char('"') + QLatin1String(k) + QLatin1Char('"');
            error = QStringLiteral("%1: unknown field %2 (known: %3)")
                        .arg(where, quoted(it.key()), known.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

QString cellKey(int row, int col)
{
    return QString::number(row) + QLatin1Char(',') + QString::number(col);
}

// Whether a field occurs twice in one object of `json`, a document the JSON reader has
// accepted; if so, `error` names the first such field and its byte offset. Keys are compared
// decoded, so "port" and "\u0070ort" are the same field.
bool duplicateKey(const QByteArray &json, QString &error)
{
    struct Level {
        bool object;
        bool expectKey;
        QSet<QString> keys;
    };
    QVector<Level> levels;
    for (int i = 0; i < json.size(); ++i) {
        const char ch = json.at(i);
        if (ch == '{' || ch == '[') {
            levels.append({ch == '{', ch == '{', {}});
        } else if (ch == '}' || ch == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (ch == ',' && !levels.isEmpty()) {
            levels.last().expectKey = levels.last().object;
        } else if (ch == ':' && !levels.isEmpty()) {
            levels.last().expectKey = false;
        } else if (ch == '"') {
            const int start = i;
            for (++i; i < json.size() && json.at(i) != '"'; ++i) {
                if (json.at(i) == '\\')
                    ++i;
            }
            if (levels.isEmpty() || !levels.last().expectKey)
                continue;
            const QByteArray token = json.mid(start, i - start + 1);
            const QString key = QJsonDocument::fromJson('[' + token + ']').array().at(0).toString();
            if (levels.last().keys.contains(key)) {
                error = QStringLiteral("field %1 is given twice in one object (at byte %2): which one counts would "
                                       "be a guess")
                            .arg(quoted(key))
                            .arg(start);
                return true;
            }
            levels.last().keys.insert(key);
        }
    }
    return false;
}
} // namespace

bool parse(const QByteArray &json, Layout &layout, QString &error)
{
    layout = Layout();
    if (json.size() > MaxFileSize) {
        error = QStringLiteral("larger than %1 bytes, not a layout").arg(MaxFileSize);
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("not JSON: %1 at byte %2").arg(parseError.errorString()).arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("not a layout: expected an object with \"monitors\"");
        return false;
    }
    if (duplicateKey(json, error))
        return false;
    const QJsonObject root = doc.object();
    static const char *const rootKeys[] = {"monitors", "mouse"};
    if (!onlyKnownKeys(root, rootKeys, QStringLiteral("layout"), error))
        return false;

    const QJsonValue list = root.value(QStringLiteral("monitors"));
    if (!list.isArray()) {
        error = QStringLiteral("\"monitors\" must be a list of monitor entries, not %1").arg(describe(list));
        return false;
    }
    const QJsonArray entries = list.toArray();
    if (entries.size() > MaxEntries) {
        error = QStringLiteral("\"monitors\": %1 entries, the switch holds at most %2")
                    .arg(entries.size())
                    .arg(MaxEntries);
        return false;
    }

    QMap<QString, int> cells; // cell key -> entry number that holds it
    for (int i = 0; i < entries.size(); ++i) {
        const QString where = QStringLiteral("monitor entry %1").arg(i + 1);
        if (!entries.at(i).isObject()) {
            error = QStringLiteral("%1: must be an object, not %2").arg(where, describe(entries.at(i)));
            return false;
        }
        const QJsonObject o = entries.at(i).toObject();
        if (!onlyKnownKeys(o, s_monitorKeys, where, error))
            return false;
        MonitorEntry m;
        bool present = false;
        if (!readInt(o, "port", 1, PortCount, true, where, m.port, present, error)
            || !readInt(o, "index", 1, 255, true, where, m.index, present, error)
            || !readInt(o, "row", 1, GridSize, true, where, m.row, present, error)
            || !readInt(o, "col", 1, GridSize, true, where, m.col, present, error)
            || !readInt(o, "width", MinWidth, 65535, true, where, m.width, present, error)
            || !readInt(o, "height", MinHeight, 65535, true, where, m.height, present, error))
            return false;
        const QString key = cellKey(m.row, m.col);
        if (cells.contains(key)) {
            error = QStringLiteral("%1: cell %2 (\"row\", \"col\") already holds monitor entry %3")
                        .arg(where, key)
                        .arg(cells.value(key));
            return false;
        }
        cells.insert(key, i + 1);
        layout.monitors.append(m);
    }

    if (root.contains(QStringLiteral("mouse"))) {
        const QJsonValue mouse = root.value(QStringLiteral("mouse"));
        const QString where = QStringLiteral("\"mouse\"");
        if (!mouse.isObject()) {
            error = QStringLiteral("%1 must be an object, not %2").arg(where, describe(mouse));
            return false;
        }
        const QJsonObject o = mouse.toObject();
        Mouse &m = layout.mouse;
        if (!onlyKnownKeys(o, s_mouseKeys, where, error)
            || !readInt(o, "position", 0, MaxPosition, false, where, m.position, m.hasPosition, error)
            || !readInt(o, "acceleration", 0, 255, false, where, m.acceleration, m.hasAcceleration, error)
            || !readInt(o, "speed", 0, 255, false, where, m.speed, m.hasSpeed, error))
            return false;
    }
    return true;
}

QJsonObject toJson(const MonitorEntry &m)
{
    return {{QStringLiteral("port"), m.port}, {QStringLiteral("index"), m.index}, {QStringLiteral("row"), m.row},
        {QStringLiteral("col"), m.col}, {QStringLiteral("width"), m.width}, {QStringLiteral("height"), m.height}};
}

QJsonObject toJson(const Layout &layout)
{
    QJsonArray monitors;
    for (const MonitorEntry &m : layout.monitors)
        monitors.append(toJson(m));
    QJsonObject mouse;
    if (layout.mouse.hasPosition)
        mouse.insert(QStringLiteral("position"), layout.mouse.position);
    if (layout.mouse.hasAcceleration)
        mouse.insert(QStringLiteral("acceleration"), layout.mouse.acceleration);
    if (layout.mouse.hasSpeed)
        mouse.insert(QStringLiteral("speed"), layout.mouse.speed);
    QJsonObject root {{QStringLiteral("monitors"), monitors}};
    if (!mouse.isEmpty())
        root.insert(QStringLiteral("mouse"), mouse);
    return root;
}

QString drawGrid(const QVector<MonitorEntry> &monitors, int thisPort)
{
    QMap<int, QMap<int, QStringList>> cells; // row -> col -> texts
    QSet<int> cols;
    QStringList notes;
    for (int i = 0; i < monitors.size(); ++i) {
        const MonitorEntry &m = monitors.at(i);
        if (m.row < 1 || m.row > GridSize || m.col < 1 || m.col > GridSize) {
            notes << QStringLiteral("entry %1 (port %2, %3x%4) lies at %5, outside the %6 x %6 grid")
                         .arg(i + 1)
                         .arg(m.port)
                         .arg(m.width)
                         .arg(m.height)
                         .arg(cellKey(m.row, m.col))
                         .arg(GridSize);
            continue;
        }
        QStringList &texts = cells[m.row][m.col];
        texts << QStringLiteral("%1%2 %3x%4")
                     .arg(m.port == thisPort ? QStringLiteral("*") : QString())
                     .arg(m.port)
                     .arg(m.width)
                     .arg(m.height);
        if (texts.size() == 2)
            notes << QStringLiteral("cell %1 holds more than one monitor").arg(cellKey(m.row, m.col));
        cols.insert(m.col);
    }
    if (cells.isEmpty() && notes.isEmpty())
        return QStringLiteral("The switch holds no monitor entries.\n");

    QList<int> colList = cols.values();
    std::sort(colList.begin(), colList.end());
    int width = 8;
    for (const auto &row : qAsConst(cells)) {
        for (const QStringList &texts : row)
            width = qMax(width, texts.join(QLatin1Char('/')).size());
    }

    const QString rule = [&] {
        QString r = QStringLiteral("-------+");
        for (int i = 0; i < colList.size(); ++i)
            r += QString(width + 2, QLatin1Char('-')) + QLatin1Char('+');
        return r + QLatin1Char('\n');
    }();
    QString out = QStringLiteral("       |");
    for (int c : qAsConst(colList))
        out += QStringLiteral(" %1 |").arg(QStringLiteral("col %1").arg(c), -width);
    out += QLatin1Char('\n') + rule;
    for (auto row = cells.cbegin(); row != cells.cend(); ++row) {
        out += QStringLiteral("row %1 |").arg(row.key(), -2);
        for (int c : qAsConst(colList))
            out += QStringLiteral(" %1 |").arg(row.value().value(c).join(QLatin1Char('/')), -width);
        out += QLatin1Char('\n') + rule;
    }
    out += QStringLiteral("cells: port resolution; * this computer (port %1)\n").arg(thisPort);
    for (const QString &n : qAsConst(notes))
        out += QStringLiteral("note: ") + n + QLatin1Char('\n');
    return out;
}

bool placeScreens(const QVector<QRect> &screens, int port, int row, int col, QVector<MonitorEntry> &monitors,
    QStringList &warnings, QString &error)
{
    monitors.clear();
    if (screens.isEmpty()) {
        error = QStringLiteral("the desktop reports no screens");
        return false;
    }
    int left = screens.first().x(), top = screens.first().y();
    for (const QRect &s : screens) {
        left = qMin(left, s.x());
        top = qMin(top, s.y());
    }
    // Top to bottom, then left to right: the order in which they are numbered.
    QVector<int> order(screens.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const QRect &ra = screens.at(a), &rb = screens.at(b);
        return ra.y() != rb.y() ? ra.y() < rb.y() : ra.x() < rb.x();
    });

    // The nearest cell counted in the screen's own size; the agent then finds each monitor on
    // its screen as long as the cells keep the screens' order.
    const auto nearest = [](int offset, int size) {
        return int(std::ceil(double(offset) / size - 0.5));
    };
    QSet<QString> taken;
    for (int n = 0; n < order.size(); ++n) {
        const QRect &s = screens.at(order.at(n));
        if (s.width() < MinWidth || s.height() < MinHeight || s.width() > 65535 || s.height() > 65535) {
            error = QStringLiteral("screen %1 has a size of %2x%3, which a monitor entry cannot hold")
                        .arg(n + 1)
                        .arg(s.width())
                        .arg(s.height());
            return false;
        }
        const int dx = s.x() - left, dy = s.y() - top;
        int r = row + nearest(dy, s.height());
        int c = col + nearest(dx, s.width());
        bool moved = false;
        while (taken.contains(cellKey(r, c)) && c <= GridSize) {
            ++c;
            moved = true;
        }
        if (r > GridSize || c > GridSize) {
            error = QStringLiteral("screen %1 (%2x%3 at %4,%5) would lie in cell %6, outside the %7 x %7 grid")
                        .arg(n + 1)
                        .arg(s.width())
                        .arg(s.height())
                        .arg(s.x())
                        .arg(s.y())
                        .arg(cellKey(r, c))
                        .arg(GridSize);
            return false;
        }
        if (moved) {
            warnings << QStringLiteral("screen %1 (%2x%3 at %4,%5) shares its cell with another: placed in the "
                                       "nearest free cell, %6")
                            .arg(n + 1)
                            .arg(s.width())
                            .arg(s.height())
                            .arg(s.x())
                            .arg(s.y())
                            .arg(cellKey(r, c));
        }
        taken.insert(cellKey(r, c));
        monitors.append({port, n + 1, r, c, s.width(), s.height()});
    }
    QVector<MonitorLogic::GridMonitor> grid;
    QVector<QRect> sorted;
    for (int n = 0; n < order.size(); ++n) {
        const MonitorEntry &m = monitors.at(n);
        grid.append({m.row, m.col, m.width, m.height});
        sorted.append(screens.at(order.at(n)));
    }
    QString why;
    if (!MonitorLogic::matchScreens(grid, sorted, &why)) {
        warnings << QStringLiteral("the cells do not keep the screens' order (%1): the agent places these monitors "
                                   "by their cells, not where the screens are")
                        .arg(why);
    }
    return true;
}
} // namespace SwitchLayout
