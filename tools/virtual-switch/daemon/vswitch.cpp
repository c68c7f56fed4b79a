// The virtual switch as a process:
//   vswitch serve <socket> <layout.json> [--tcp PORT] [--delay-ms N]
//                                          serves the switch to agents (see SwitchServer), also
//                                          on 127.0.0.1:PORT (0: any free port) when asked;
//                                          with --delay-ms each answer leaves N ms (0 to 100)
//                                          after its frame came, as a USB round trip would
//   vswitch ctl <socket> <command...>      sends one control command and prints the answer
//
// Layout file:
//   { "ports": [ { "port": 1, "display": ":11", "present": true }, ... ],
//     "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 }, ... ],
//     "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0,
//     "highlight": { "on": true, "duration": 1 } }

#include "switchserver.h"
#include "trace/trace.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <cmath>
#include <cstdio>

// A layout file's contents into the server's model; `path` names it in messages. Outside
// this file only for the fuzz target.
bool parseLayout(const QByteArray &contents, const QString &path, SwitchServer &server);

namespace
{
// Smaller is no real monitor: an agent could not find the edges of one to leave it by.
constexpr int s_minWidth = 320;
constexpr int s_minHeight = 200;

// One value of a layout entry, read within the device's range; false with one line naming the
// entry and the field otherwise.
bool readInt(const QJsonObject &o, const char *key, int min, int max, bool required, const QString &where, int &out,
    QString &error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) {
        if (required)
            error = QStringLiteral("%1.%2: missing").arg(where, QLatin1String(key));
        return !required;
    }
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || !(d >= min && d <= max) || d != std::floor(d)) {
        const QString seen = v.isDouble() ? QString::number(d) : QStringLiteral("not a number");
        error = QStringLiteral("%1.%2: %3, not a whole number from %4 to %5")
                    .arg(where, QLatin1String(key), seen)
                    .arg(min)
                    .arg(max);
        return false;
    }
    out = int(d);
    return true;
}

bool readBool(const QJsonObject &o, const char *key, const QString &where, bool &out, QString &error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    if (!v.isBool()) {
        error = QStringLiteral("%1.%2: not true or false").arg(where, QLatin1String(key));
        return false;
    }
    out = v.toBool();
    return true;
}

// The whole file is checked against what the device can hold before anything is served: a
// value it could not hold would be served as some other one.
bool readLayout(const QJsonObject &root, SwitchServer &server, QString &error)
{
    SwitchModel &model = server.model();
    const QJsonValue portsValue = root.value(QStringLiteral("ports"));
    const QJsonValue monitorsValue = root.value(QStringLiteral("monitors"));
    if (!portsValue.isUndefined() && !portsValue.isArray()) {
        error = QStringLiteral("ports: not a list");
        return false;
    }
    if (!monitorsValue.isUndefined() && !monitorsValue.isArray()) {
        error = QStringLiteral("monitors: not a list");
        return false;
    }

    quint8 presentMask = 0;
    QHash<int, QString> displays;
    const QJsonArray ports = portsValue.toArray();
    for (int i = 0; i < ports.size(); ++i) {
        const QString where = QStringLiteral("ports[%1]").arg(i);
        if (!ports.at(i).isObject()) {
            error = where + QStringLiteral(": not an object");
            return false;
        }
        const QJsonObject p = ports.at(i).toObject();
        int port = 0;
        bool present = true;
        if (!readInt(p, "port", 1, SwitchModel::PortCount, true, where, port, error)
            || !readBool(p, "present", where, present, error))
            return false;
        if (present)
            presentMask |= quint8(1u << (port - 1));
        const QString display = p.value(QStringLiteral("display")).toString();
        if (!display.isEmpty())
            displays.insert(port, display);
    }

    const QJsonArray monitors = monitorsValue.toArray();
    if (monitors.size() > 255) {
        error = QStringLiteral("monitors: %1 entries, the switch holds at most 255").arg(monitors.size());
        return false;
    }
    QVector<SwitchModel::MonitorEntry> entries;
    QHash<int, int> cells; // row * 256 + col -> the entry in that cell
    for (int i = 0; i < monitors.size(); ++i) {
        const QString where = QStringLiteral("monitors[%1]").arg(i);
        if (!monitors.at(i).isObject()) {
            error = where + QStringLiteral(": not an object");
            return false;
        }
        const QJsonObject m = monitors.at(i).toObject();
        SwitchModel::MonitorEntry e;
        if (!readInt(m, "port", 1, SwitchModel::PortCount, true, where, e.port, error)
            || !readInt(m, "index", 0, 255, false, where, e.monitorIndex, error)
            || !readInt(m, "row", 1, 16, true, where, e.row, error)
            || !readInt(m, "col", 1, 16, true, where, e.col, error)
            || !readInt(m, "width", s_minWidth, 65535, true, where, e.width, error)
            || !readInt(m, "height", s_minHeight, 65535, true, where, e.height, error))
            return false;
        // An agent keeps one monitor per cell: which of two it kept would depend on the order read.
        const int cell = e.row * 256 + e.col;
        if (cells.contains(cell)) {
            error = QStringLiteral("%1: cell %2,%3 already holds monitors[%4]")
                        .arg(where)
                        .arg(e.row)
                        .arg(e.col)
                        .arg(cells.value(cell));
            return false;
        }
        cells.insert(cell, i);
        entries.append(e);
    }

    int currentPort = 1, mousePosition = 4, cyclic = 0, duration = 1;
    bool highlightOn = true;
    const QJsonValue highlightValue = root.value(QStringLiteral("highlight"));
    if (!highlightValue.isUndefined() && !highlightValue.isObject()) {
        error = QStringLiteral("highlight: not an object");
        return false;
    }
    const QJsonObject highlight = highlightValue.toObject();
    if (!readInt(root, "currentPort", 1, SwitchModel::PortCount, false, QStringLiteral("layout"), currentPort, error)
        || !readInt(root, "mousePosition", 0, 5, false, QStringLiteral("layout"), mousePosition, error)
        || !readInt(root, "cyclicSwitch", 0, 1, false, QStringLiteral("layout"), cyclic, error)
        || !readBool(highlight, "on", QStringLiteral("highlight"), highlightOn, error)
        || !readInt(highlight, "duration", 0, 15, false, QStringLiteral("highlight"), duration, error))
        return false;

    model.presentMask = presentMask;
    model.monitors = entries;
    model.currentPort = currentPort;
    model.mousePosition = mousePosition;
    model.cyclicSwitch = cyclic;
    model.highlightOn = highlightOn;
    model.highlightDuration = duration;
    server.displays() = displays;
    return true;
}

bool loadLayout(const QString &path, SwitchServer &server)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical("cannot read %s", qPrintable(path));
        return false;
    }
    return parseLayout(file.read(1024 * 1024), path, server);
}

int usage()
{
    std::fprintf(stderr,
        "usage: vswitch serve <socket> <layout.json> [--tcp PORT] [--delay-ms N]\n"
        "       vswitch ctl <socket> <command> [args...]\n");
    return 2;
}
} // namespace

bool parseLayout(const QByteArray &contents, const QString &path, SwitchServer &server)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(contents, &parseError);
    if (!doc.isObject()) {
        qCritical("%s: %s", qPrintable(path),
            qPrintable(parseError.error == QJsonParseError::NoError ? QStringLiteral("not a JSON object")
                                                                    : parseError.errorString()));
        return false;
    }
    QString error;
    if (!readLayout(doc.object(), server, error)) {
        qCritical("%s: %s", qPrintable(path), qPrintable(error));
        return false;
    }
    return true;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return usage();

    if (args.at(1) == QLatin1String("ctl")) {
        QLocalSocket socket;
        socket.connectToServer(args.at(2));
        if (!socket.waitForConnected(2000)) {
            std::fprintf(stderr, "no switch at %s\n", qPrintable(args.at(2)));
            return 1;
        }
        socket.write("ctl " + args.mid(3).join(QLatin1Char(' ')).toLatin1() + '\n');
        socket.waitForBytesWritten(2000);
        while (!socket.canReadLine() && socket.waitForReadyRead(2000)) { }
        const QByteArray answer = socket.readLine().trimmed();
        std::printf("%s\n", answer.constData());
        return answer.startsWith("ok") ? 0 : 1;
    }

    if (args.at(1) != QLatin1String("serve"))
        return usage();
    Trace::start("vswitch"); // the serving thread writes its hops out
    SwitchServer server;
    if (!loadLayout(args.at(3), server) || !server.listen(args.at(2)))
        return 1;
    for (int i = 4; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return usage();
        bool ok = false;
        const uint value = args.at(i + 1).toUInt(&ok);
        if (args.at(i) == QLatin1String("--tcp")) {
            const quint16 port = ok && value <= 65535 ? server.listenTcp(quint16(value)) : 0;
            if (port == 0)
                return 1;
            qInfo("virtual switch on tcp:127.0.0.1:%u", port);
        } else if (args.at(i) == QLatin1String("--delay-ms") && ok && value <= 100) {
            // An agent waits 200 ms for an answer: a much longer delay would have the answers
            // come after it has given up.
            server.setAnswerDelay(int(value));
            qInfo("answers leave %u ms after their frames", value);
        } else {
            return usage();
        }
    }
    qInfo("virtual switch on %s", qPrintable(args.at(2)));
    return app.exec();
}
