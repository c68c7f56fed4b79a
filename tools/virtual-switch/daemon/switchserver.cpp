#include "switchserver.h"
#include "trace/trace.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace
{
// Linux KEY_F13 as an X keycode: what the agents recognise as the switch's arrival key.
constexpr unsigned int s_f13Keycode = 191;
// A line longer than any request: whoever sends it is not an agent.
constexpr qint64 s_maxLine = 256;
// Closing from our side, whichever kind of connection it is.
void hangUp(QIODevice *socket)
{
    if (auto *local = qobject_cast<QLocalSocket *>(socket))
        local->disconnectFromServer();
    else if (auto *tcp = qobject_cast<QAbstractSocket *>(socket))
        tcp->disconnectFromHost();
}

// Written at once: the agent waits for its answer inside its input hook.
void flush(QIODevice *socket)
{
    if (auto *local = qobject_cast<QLocalSocket *>(socket))
        local->flush();
    else if (auto *tcp = qobject_cast<QAbstractSocket *>(socket))
        tcp->flush();
}

qintptr descriptorOf(QIODevice *socket)
{
    if (auto *local = qobject_cast<QLocalSocket *>(socket))
        return local->state() == QLocalSocket::ConnectedState ? local->socketDescriptor() : -1;
    if (auto *tcp = qobject_cast<QAbstractSocket *>(socket))
        return tcp->state() == QAbstractSocket::ConnectedState ? tcp->socketDescriptor() : -1;
    return -1;
}

// An answer is a few dozen bytes into an empty socket buffer: written straight to the socket,
// it leaves in one call, without the toolkit's write buffer and its wake-ups of the event
// loop. Whatever does not fit, or any other kind of device, goes the toolkit's way.
void writeAnswer(QIODevice *socket, const QByteArray &line)
{
    qint64 sent = 0;
    const qintptr fd = descriptorOf(socket);
    if (fd >= 0 && socket->bytesToWrite() == 0) {
        ssize_t n;
        do
            n = ::send(int(fd), line.constData(), size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n == line.size())
            return;
        if (n > 0)
            sent = n;
    }
    socket->write(line.constData() + sent, line.size() - sent);
    flush(socket);
}

void dropNow(QIODevice *socket)
{
    if (auto *local = qobject_cast<QLocalSocket *>(socket))
        local->abort();
    else if (auto *tcp = qobject_cast<QAbstractSocket *>(socket))
        tcp->abort();
}

// Whether the other end has closed, though lines it sent before are still being read: the
// kernel holds the end of the stream behind them. An agent closes when it has given up.
bool peerGone(QIODevice *socket)
{
    qintptr fd = -1;
    if (auto *local = qobject_cast<QLocalSocket *>(socket)) {
        if (local->state() != QLocalSocket::ConnectedState)
            return true;
        fd = local->socketDescriptor();
    } else if (auto *tcp = qobject_cast<QAbstractSocket *>(socket)) {
        if (tcp->state() != QAbstractSocket::ConnectedState)
            return true;
        fd = tcp->socketDescriptor();
    }
    if (fd < 0)
        return true;
    char c;
    const ssize_t n = ::recv(int(fd), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// An agent's frame carries the wall-clock millisecond after which it no longer waits for the
// answer. Carried out only with this much of that time left, for the answer's way back.
constexpr qint64 s_answerTravelMsec = 50;
} // namespace

SwitchServer::SwitchServer(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            accept(socket);
    });
    m_clock.start();
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &SwitchServer::sendDelayed);
}

void SwitchServer::accept(QIODevice *socket)
{
    connect(socket, &QIODevice::readyRead, this, [this, socket] { readClient(socket); });
    const auto gone = [this, socket] {
        if (m_agents.remove(socket))
            qInfo("agent gone");
        socket->deleteLater();
    };
    if (auto *local = qobject_cast<QLocalSocket *>(socket))
        connect(local, &QLocalSocket::disconnected, this, gone);
    else if (auto *tcp = qobject_cast<QTcpSocket *>(socket))
        connect(tcp, &QTcpSocket::disconnected, this, gone);
}

quint16 SwitchServer::listenTcp(quint16 port)
{
    if (!m_tcpServer) {
        m_tcpServer = new QTcpServer(this);
        connect(m_tcpServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                accept(socket);
            }
        });
    }
    if (!m_tcpServer->listen(QHostAddress::LocalHost, port)) {
        qCritical("cannot listen on 127.0.0.1:%u: %s", port, qPrintable(m_tcpServer->errorString()));
        return 0;
    }
    return m_tcpServer->serverPort();
}

SwitchServer::~SwitchServer()
{
    for (_XDisplay *display : qAsConst(m_xConnections))
        XCloseDisplay(display);
}

bool SwitchServer::listen(const QString &path)
{
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        qCritical("cannot listen on %s: %s", qPrintable(path), qPrintable(m_server->errorString()));
        return false;
    }
    return true;
}

void SwitchServer::readClient(QIODevice *socket)
{
    while (socket->canReadLine()) {
        const QString line = QString::fromLatin1(socket->readLine(s_maxLine)).trimmed();
        const QString answer = handle(socket, line);
        if (answer.isEmpty())
            continue; // answered already
        writeAnswer(socket, answer.toLatin1() + '\n');
        if (answer.startsWith(QLatin1String("err bye")))
            hangUp(socket);
    }
    if (socket->bytesAvailable() > s_maxLine) {
        qWarning("dropping a client that sends no line ends");
        dropNow(socket);
    }
}

QString SwitchServer::handle(QIODevice *socket, const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.value(0);

    if (verb == QLatin1String("ctl"))
        return control(words.mid(1).join(QLatin1Char(' ')));

    // Nothing is done for an agent that has hung up meanwhile (it gave up waiting).
    if ((verb == QLatin1String("hello") || verb == QLatin1String("frame")) && peerGone(socket)) {
        qWarning("%s from a client that has hung up: not carried out", qPrintable(verb));
        dropNow(socket);
        return QString();
    }

    if (verb == QLatin1String("hello")) {
        bool ok = false;
        const int port = words.value(1).toInt(&ok);
        if (!ok || port < 1 || port > SwitchModel::PortCount) {
            qWarning("hello with a bad port: %s", qPrintable(line));
            return QStringLiteral("err bye: bad port");
        }
        if (!m_plugged)
            return QStringLiteral("err bye: unplugged");
        m_agents.insert(socket, port);
        const auto onPort = std::count(m_agents.cbegin(), m_agents.cend(), port);
        if (onPort > 1)
            qInfo("agent on port %d, which has %d now", port, int(onPort));
        else
            qInfo("agent on port %d", port);
        return QStringLiteral("ok");
    }

    if (verb == QLatin1String("frame")) {
        if (!m_agents.contains(socket)) {
            qWarning("frame from a client that never said hello");
            return QStringLiteral("err bye: say hello first");
        }
        const QByteArray request = QByteArray::fromHex(words.value(1).toLatin1());
        const int requestId = request.isEmpty() ? 0 : static_cast<unsigned char>(request.at(0));
        Trace::mark("request-read", requestId);
        const int port = m_agents.value(socket);
        if (words.size() > 2) {
            bool ok = false;
            const qint64 deadline = words.at(2).toLongLong(&ok);
            const qint64 late = QDateTime::currentMSecsSinceEpoch() + s_answerTravelMsec - deadline;
            if (!ok || late > 0) {
                qWarning("frame from port %d %lld ms past its deadline: not carried out, connection closed", port,
                    ok ? late : 0LL);
                dropNow(socket);
                return QString();
            }
        }
        const int before = m_model.currentPort;
        const QByteArray reply
            = m_model.handle(port, request, int(std::count(m_agents.cbegin(), m_agents.cend(), port)));
        const bool accepted = reply.size() > 1 && reply.at(1) == SwitchModel::Accepted;
        // Answer first, then hand over: the requesting agent is not kept waiting for X, and
        // nobody waits for the log lines.
        const int arrivalPort = requestId == 0x49 && accepted ? m_model.currentPort : 0;
        const QByteArray answer = "reply " + reply.toHex() + '\n';
        if (m_answerDelayMsec > 0) {
            m_delayed.enqueue(
                {socket, answer, requestId, arrivalPort, m_clock.nsecsElapsed() + qint64(m_answerDelayMsec) * 1000000});
            if (!m_delayTimer.isActive())
                sendDelayed();
        } else {
            answerFrame(socket, answer, requestId, arrivalPort);
        }
        if (reply.size() > 1 && !accepted)
            qInfo("refused from port %d: %s", port, request.toHex(' ').constData());
        else
            ++m_accepted[port];
        if (arrivalPort != 0)
            qInfo("switch from port %d to port %d (was %d): %s", port, m_model.currentPort, before,
                request.toHex(' ').constData());
        return QString(); // already answered
    }

    qWarning("unknown request: %s", qPrintable(line.left(80)));
    return QStringLiteral("err unknown request");
}

void SwitchServer::answerFrame(QIODevice *socket, const QByteArray &line, int requestId, int arrivalPort)
{
    if (socket)
        writeAnswer(socket, line);
    Trace::mark("answer-written", requestId);
    if (arrivalPort != 0)
        announceArrival(arrivalPort);
}

void SwitchServer::sendDelayed()
{
    while (!m_delayed.isEmpty()) {
        const qint64 left = m_delayed.head().dueNsec - m_clock.nsecsElapsed();
        if (left > 0) {
            // Whole milliseconds, rounded up: never before its time.
            m_delayTimer.start(int((left + 999999) / 1000000));
            return;
        }
        const DelayedAnswer due = m_delayed.dequeue();
        answerFrame(due.socket, due.line, due.requestId, due.arrivalPort);
    }
}

QString SwitchServer::control(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.value(0);
    bool ok1 = false, ok2 = false;
    const int a = words.value(1).toInt(&ok1);
    const int b = words.value(2).toInt(&ok2);

    if (command == QLatin1String("unplug")) {
        m_plugged = false;
        disconnectAgents();
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("plug")) {
        m_plugged = true;
        return QStringLiteral("ok");
    }
    if ((command == QLatin1String("absent") || command == QLatin1String("present")) && ok1 && a >= 1 && a <= 8) {
        const quint8 bit = quint8(1u << (a - 1));
        m_model.presentMask
            = command == QLatin1String("absent") ? (m_model.presentMask & ~bit) : (m_model.presentMask | bit);
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("highlight") && ok1 && ok2 && b >= 0 && b <= 15) {
        m_model.highlightOn = a != 0;
        m_model.highlightDuration = b;
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("cyclic") && ok1 && (a == 0 || a == 1)) {
        m_model.cyclicSwitch = a;
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("mouseposition") && ok1 && a >= 0 && a <= 5) {
        m_model.mousePosition = a;
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("last")) {
        const SwitchModel::MouseStatus &s = m_model.mouseStatus;
        return QStringLiteral("ok %1 %2 %3 %4 %5").arg(s.port).arg(s.row).arg(s.col).arg(s.direction).arg(s.percent);
    }
    if (command == QLatin1String("status")) {
        QJsonObject o {{QStringLiteral("plugged"), m_plugged}, {QStringLiteral("currentPort"), m_model.currentPort},
            {QStringLiteral("presentMask"), int(m_model.presentMask)}, {QStringLiteral("agents"), m_agents.size()},
            {QStringLiteral("monitors"), m_model.monitors.size()}};
        QJsonObject accepted;
        for (auto it = m_accepted.cbegin(); it != m_accepted.cend(); ++it)
            accepted.insert(QString::number(it.key()), it.value());
        o.insert(QStringLiteral("accepted"), accepted);
        return QStringLiteral("ok ") + QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    qWarning("bad control command: %s", qPrintable(line.left(80)));
    return QStringLiteral("err bad control command");
}

void SwitchServer::disconnectAgents()
{
    // Pulling the cable: every open handle is dead for good.
    const QList<QIODevice *> agents = m_agents.keys();
    m_agents.clear();
    for (QIODevice *socket : agents)
        hangUp(socket);
}

void SwitchServer::announceArrival(int port)
{
    const QString name = m_displays.value(port);
    if (name.isEmpty())
        return;
    _XDisplay *display = m_xConnections.value(port);
    if (!display) {
        display = XOpenDisplay(name.toLatin1().constData());
        if (!display) {
            qWarning("cannot open display %s of port %d", qPrintable(name), port);
            return;
        }
        m_xConnections.insert(port, display);
    }
    XTestFakeKeyEvent(display, s_f13Keycode, True, CurrentTime);
    XTestFakeKeyEvent(display, s_f13Keycode, False, CurrentTime);
    XFlush(display);
    Trace::mark("key-sent", port);
}
