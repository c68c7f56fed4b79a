// The virtual switch as a process:
//   vswitch serve <socket> <layout.json> [--tcp PORT]
//                                          serves the switch to agents (see SwitchServer), also
//                                          on 127.0.0.1:PORT (0: any free port) when asked
//   vswitch ctl <socket> <command...>      sends one control command and prints the answer
//
// Layout file:
//   { "ports": [ { "port": 1, "display": ":11", "present": true }, ... ],
//     "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 }, ... ],
//     "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0,
//     "highlight": { "on": true, "duration": 1 } }

#include "switchserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <cstdio>

// A layout file's contents into the server's model; `path` names it in messages. Outside
// this file only for the fuzz target.
bool parseLayout(const QByteArray &contents, const QString &path, SwitchServer &server)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(contents, &error);
    if (!doc.isObject()) {
        qCritical("%s: %s", qPrintable(path), qPrintable(error.errorString()));
        return false;
    }
    const QJsonObject root = doc.object();
    SwitchModel &model = server.model();

    model.presentMask = 0;
    for (const QJsonValue &v : root.value(QStringLiteral("ports")).toArray()) {
        const QJsonObject p = v.toObject();
        const int port = p.value(QStringLiteral("port")).toInt();
        if (port < 1 || port > SwitchModel::PortCount) {
            qWarning("%s: port %d ignored", qPrintable(path), port);
            continue;
        }
        if (p.value(QStringLiteral("present")).toBool(true))
            model.presentMask |= quint8(1u << (port - 1));
        const QString display = p.value(QStringLiteral("display")).toString();
        if (!display.isEmpty())
            server.displays().insert(port, display);
    }
    model.monitors.clear();
    for (const QJsonValue &v : root.value(QStringLiteral("monitors")).toArray()) {
        const QJsonObject m = v.toObject();
        const auto field = [&](const char *key, int max) {
            return qBound(0, m.value(QLatin1String(key)).toInt(), max);
        };
        model.monitors.append({field("port", 8), field("index", 255), field("row", 255), field("col", 255),
            field("width", 65535), field("height", 65535)});
    }
    if (model.monitors.size() > 255) {
        qWarning("%s: only the first 255 monitors fit the protocol", qPrintable(path));
        model.monitors.resize(255);
    }
    model.currentPort = root.value(QStringLiteral("currentPort")).toInt(1);
    model.mousePosition = root.value(QStringLiteral("mousePosition")).toInt(4);
    model.cyclicSwitch = root.value(QStringLiteral("cyclicSwitch")).toInt(0);
    const QJsonObject highlight = root.value(QStringLiteral("highlight")).toObject();
    model.highlightOn = highlight.value(QStringLiteral("on")).toBool(true);
    model.highlightDuration = qBound(0, highlight.value(QStringLiteral("duration")).toInt(1), 15);
    return true;
}

namespace
{
bool loadLayout(const QString &path, SwitchServer &server)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical("cannot read %s", qPrintable(path));
        return false;
    }
    return parseLayout(file.readAll(), path, server);
}

int usage()
{
    std::fprintf(stderr,
        "usage: vswitch serve <socket> <layout.json> [--tcp PORT]\n"
        "       vswitch ctl <socket> <command> [args...]\n");
    return 2;
}
} // namespace

#ifndef VSWITCH_NO_MAIN
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
    SwitchServer server;
    if (!loadLayout(args.at(3), server) || !server.listen(args.at(2)))
        return 1;
    if (args.size() >= 6 && args.at(4) == QLatin1String("--tcp")) {
        bool ok = false;
        const uint asked = args.at(5).toUInt(&ok);
        const quint16 port = ok && asked <= 65535 ? server.listenTcp(quint16(asked)) : 0;
        if (port == 0)
            return 1;
        qInfo("virtual switch on tcp:127.0.0.1:%u", port);
    } else if (args.size() > 4) {
        return usage();
    }
    qInfo("virtual switch on %s", qPrintable(args.at(2)));
    return app.exec();
}
#endif
