#include "switchserver.h"
#include "trace/trace.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QTcpServer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace
{
// Linux KEY_F13 as an X keycode: what the agents recognise as the switch's arrival key.
constexpr unsigned int s_f13Keycode = 191;
// A line longer than any request: whoever sends it is not an agent.
constexpr int s_maxLine = 256;
// Read at one go before the lines are served; the rest waits for the next turn.
constexpr int s_maxRead = 16 * 1024;
// Answers a client leaves unread beyond this: it is not an agent either.
constexpr int s_maxUnsent = 64 * 1024;
// An agent's frame carries the wall-clock millisecond after which it no longer waits for the
// answer. Carried out only with this much of that time left, for the answer's way back.
constexpr qint64 s_answerTravelMsec = 50;
// What a crossing's frames have to say is written this long after them, when the computers
// concerned are done with it.
constexpr qint64 s_noteDelayNsec = 20 * 1000000LL;
constexpr qint64 s_traceFlushNsec = 250 * 1000000LL;

// Listeners that give the accepted connection's descriptor away instead of a socket object.
class LocalListener : public QLocalServer
{
public:
    LocalListener(std::function<void(int)> take, QObject *parent)
        : QLocalServer(parent)
        , m_take(std::move(take))
    {
    }

protected:
    void incomingConnection(quintptr descriptor) override { m_take(int(descriptor)); }

private:
    std::function<void(int)> m_take;
};

class TcpListener : public QTcpServer
{
public:
    TcpListener(std::function<void(int)> take, QObject *parent)
        : QTcpServer(parent)
        , m_take(std::move(take))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        // One small request and one small answer at a time: nothing to gain from batching.
        const int one = 1;
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_take(int(descriptor));
    }

private:
    std::function<void(int)> m_take;
};

QList<QByteArray> wordsOf(const QByteArray &line)
{
    QList<QByteArray> words = line.split(' ');
    words.removeAll(QByteArray());
    return words;
}
} // namespace

SwitchServer::SwitchServer(QObject *parent)
    : QObject(parent)
    , m_server(new LocalListener([this](int fd) { adopt(fd); }, this))
{
    m_clock.start();
}

SwitchServer::~SwitchServer()
{
    if (m_thread.joinable()) {
        m_ending = true;
        const char wake = 0;
        while (::write(m_wake[1], &wake, 1) < 0 && errno == EINTR) { }
        m_thread.join();
    }
    for (Connection &c : m_connections)
        if (c.fd >= 0)
            ::close(c.fd);
    for (int fd : m_adopted)
        ::close(fd);
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
    writeNotes();
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
    startServing();
    return true;
}

quint16 SwitchServer::listenTcp(quint16 port)
{
    if (!m_tcpServer)
        m_tcpServer = new TcpListener([this](int fd) { adopt(fd); }, this);
    if (!m_tcpServer->listen(QHostAddress::LocalHost, port)) {
        qCritical("cannot listen on 127.0.0.1:%u: %s", port, qPrintable(m_tcpServer->errorString()));
        return 0;
    }
    startServing();
    return m_tcpServer->serverPort();
}

void SwitchServer::startServing()
{
    if (m_thread.joinable())
        return;
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        qFatal("cannot make a pipe: %s", std::strerror(errno));
        return;
    }
    m_thread = std::thread([this] { serve(); });
}

void SwitchServer::adopt(int fd)
{
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard<std::mutex> locked(m_adoptLock);
        m_adopted.push_back(fd);
    }
    const char wake = 0;
    while (::write(m_wake[1], &wake, 1) < 0 && errno == EINTR) { }
}

void SwitchServer::takeAdopted()
{
    char drained[64];
    while (::read(m_wake[0], drained, sizeof drained) > 0) { }
    std::lock_guard<std::mutex> locked(m_adoptLock);
    for (int fd : m_adopted) {
        Connection c;
        c.id = m_nextId++;
        c.fd = fd;
        m_connections.push_back(std::move(c));
    }
    m_adopted.clear();
}

void SwitchServer::serve()
{
    std::vector<pollfd> polled;
    while (!m_ending) {
        polled.clear();
        polled.push_back({m_wake[0], POLLIN, 0});
        for (const Connection &c : m_connections)
            polled.push_back({c.fd, short(POLLIN | (c.out.isEmpty() ? 0 : POLLOUT)), 0});
        if (::poll(polled.data(), nfds_t(polled.size()), nextWakeMsec()) < 0 && errno != EINTR) {
            qCritical("cannot wait for the agents: %s", std::strerror(errno));
            return;
        }
        // Indices stay: a connection closed meanwhile keeps its place, with no descriptor.
        for (size_t i = 1; i < polled.size(); ++i) {
            Connection &c = m_connections[i - 1];
            const short events = polled[i].revents;
            if (c.fd < 0 || events == 0)
                continue;
            if ((events & POLLOUT) && !flushOut(c))
                close(c);
            else if ((events & (POLLIN | POLLHUP | POLLERR)) && !readFrom(c))
                close(c);
        }
        m_connections.erase(
            std::remove_if(m_connections.begin(), m_connections.end(), [](const Connection &c) { return c.fd < 0; }),
            m_connections.end());
        if (polled[0].revents)
            takeAdopted();
        sendDelayed();
        const qint64 now = m_clock.nsecsElapsed();
        if (!m_notes.isEmpty() && now >= m_notesDueNsec)
            writeNotes();
        if (Trace::s_on && now >= m_traceFlushNsec) {
            Trace::flush();
            m_traceFlushNsec = now + s_traceFlushNsec;
        }
    }
}

int SwitchServer::nextWakeMsec() const
{
    qint64 due = -1;
    const auto soonest = [&due](qint64 at) {
        due = due < 0 ? at : std::min(due, at);
    };
    if (!m_delayed.isEmpty())
        soonest(m_delayed.head().dueNsec);
    if (!m_notes.isEmpty())
        soonest(m_notesDueNsec);
    if (Trace::s_on)
        soonest(m_traceFlushNsec);
    if (due < 0)
        return -1;
    // Whole milliseconds, rounded up: never before its time.
    const qint64 left = due - m_clock.nsecsElapsed();
    return left <= 0 ? 0 : int((left + 999999) / 1000000);
}

bool SwitchServer::readFrom(Connection &c)
{
    char chunk[4096];
    while (!c.ended && c.in.size() < s_maxRead) {
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n > 0)
            c.in.append(chunk, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else
            c.ended = true; // closed, or broken
    }
    int start = 0;
    for (int end; !c.dropped && !c.closing && c.fd >= 0 && (end = c.in.indexOf('\n', start)) >= 0;) {
        if (end - start > s_maxLine)
            break;
        const QByteArray line = c.in.mid(start, end - start).trimmed();
        start = end + 1;
        const QString answer = handle(c, line);
        if (answer.isEmpty() || c.fd < 0)
            continue; // answered already, or nobody to answer
        send(c, answer.toLatin1() + '\n');
        if (answer.startsWith(QLatin1String("err bye")))
            c.closing = true;
    }
    c.in.remove(0, start);
    if (c.closing)
        c.in.clear(); // nothing more is served
    if (c.fd < 0 || c.dropped)
        return false;
    if (c.in.size() > s_maxLine && !c.closing) {
        writeNotes();
        qWarning("dropping a client that sends no line ends");
        return false;
    }
    if (c.closing || c.ended)
        return !c.out.isEmpty() && !c.ended; // what is left to say goes out first
    return true;
}

void SwitchServer::send(Connection &c, const QByteArray &line)
{
    if (c.fd < 0)
        return;
    if (c.out.isEmpty()) {
        ssize_t n;
        do
            n = ::send(c.fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n == line.size())
            return;
        c.out = line.mid(n > 0 ? int(n) : 0);
    } else {
        c.out.append(line);
    }
    if (c.out.size() > s_maxUnsent) {
        writeNotes();
        qWarning("dropping a client that reads no answers");
        c.dropped = true;
    }
}

bool SwitchServer::flushOut(Connection &c)
{
    ssize_t n;
    do
        n = ::send(c.fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK;
    c.out.remove(0, int(n));
    return !(c.out.isEmpty() && c.closing);
}

void SwitchServer::close(Connection &c, bool tellAgentGone)
{
    if (c.fd < 0)
        return;
    if (c.port != 0 && tellAgentGone) {
        writeNotes();
        qInfo("agent gone");
    }
    ::shutdown(c.fd, SHUT_RDWR);
    ::close(c.fd);
    c.fd = -1;
    c.port = 0;
}

SwitchServer::Connection *SwitchServer::connectionOf(quint64 id)
{
    for (Connection &c : m_connections)
        if (c.id == id && c.fd >= 0)
            return &c;
    return nullptr;
}

int SwitchServer::agentsOn(int port) const
{
    // Port 0: on any port.
    return int(std::count_if(m_connections.cbegin(), m_connections.cend(),
        [port](const Connection &c) { return c.fd >= 0 && c.port != 0 && (port == 0 || c.port == port); }));
}

QString SwitchServer::handle(Connection &c, const QByteArray &line)
{
    const QList<QByteArray> words = wordsOf(line);
    const QByteArray verb = words.value(0);

    if (verb == "ctl")
        return control(QString::fromLatin1(line.mid(line.indexOf("ctl") + 3)));

    // Nothing is done for an agent that has hung up meanwhile (it gave up waiting).
    if ((verb == "hello" || verb == "frame") && c.ended) {
        writeNotes();
        qWarning("%s from a client that has hung up: not carried out", verb.constData());
        c.dropped = true;
        return QString();
    }

    if (verb == "hello") {
        bool ok = false;
        const int port = words.value(1).toInt(&ok);
        if (!ok || port < 1 || port > SwitchModel::PortCount) {
            writeNotes();
            qWarning("hello with a bad port: %s", line.constData());
            return QStringLiteral("err bye: bad port");
        }
        if (!m_plugged)
            return QStringLiteral("err bye: unplugged");
        c.port = port;
        const int onPort = agentsOn(port);
        writeNotes();
        if (onPort > 1)
            qInfo("agent on port %d, which has %d now", port, onPort);
        else
            qInfo("agent on port %d", port);
        return QStringLiteral("ok");
    }

    if (verb == "frame") {
        if (c.port == 0) {
            writeNotes();
            qWarning("frame from a client that never said hello");
            return QStringLiteral("err bye: say hello first");
        }
        const QByteArray request = QByteArray::fromHex(words.value(1));
        const int requestId = request.isEmpty() ? 0 : static_cast<unsigned char>(request.at(0));
        Trace::mark("request-read", requestId);
        const int port = c.port;
        if (words.size() > 2) {
            bool ok = false;
            const qint64 deadline = words.at(2).toLongLong(&ok);
            const qint64 late = QDateTime::currentMSecsSinceEpoch() + s_answerTravelMsec - deadline;
            if (!ok || late > 0) {
                writeNotes();
                qWarning("frame from port %d %lld ms past its deadline: not carried out, connection closed", port,
                    ok ? late : 0LL);
                c.dropped = true;
                return QString();
            }
        }
        const int before = m_model.currentPort;
        const QByteArray reply = m_model.handle(port, request, agentsOn(port));
        const bool accepted = reply.size() > 1 && reply.at(1) == SwitchModel::Accepted;
        const int arrivalPort = requestId == 0x49 && accepted ? m_model.currentPort : 0;
        const QByteArray answer = "reply " + reply.toHex() + '\n';
        if (m_answerDelayMsec > 0) {
            m_delayed.enqueue(
                {c.id, answer, requestId, arrivalPort, m_clock.nsecsElapsed() + qint64(m_answerDelayMsec) * 1000000});
            sendDelayed();
        } else {
            answerFrame(c.id, answer, requestId, arrivalPort);
        }
        if (reply.size() > 1 && !accepted)
            noteLater(
                QStringLiteral("refused from port %1: %2").arg(port).arg(QString::fromLatin1(request.toHex(' '))));
        else
            ++m_accepted[port];
        if (arrivalPort != 0)
            noteLater(QStringLiteral("switch from port %1 to port %2 (was %3): %4")
                          .arg(port)
                          .arg(m_model.currentPort)
                          .arg(before)
                          .arg(QString::fromLatin1(request.toHex(' '))));
        return QString(); // already answered
    }

    writeNotes();
    qWarning("unknown request: %s", line.left(80).constData());
    return QStringLiteral("err unknown request");
}

void SwitchServer::answerFrame(quint64 connection, const QByteArray &line, int requestId, int arrivalPort)
{
    // The key first: the computer that takes over has the longer way to go (its X server, its
    // agent, a question of its own), while the one that asked only reads its answer. Answered
    // first, the asking agent's wake-up and what it does next (parking and holding its
    // pointer) would run before the key left, on the CPU the key needs.
    if (arrivalPort != 0)
        announceArrival(arrivalPort);
    if (Connection *c = connectionOf(connection))
        send(*c, line);
    Trace::mark("answer-written", requestId);
}

void SwitchServer::noteLater(const QString &line)
{
    if (m_notes.isEmpty())
        m_notesDueNsec = m_clock.nsecsElapsed() + s_noteDelayNsec;
    m_notes.append(line);
}

void SwitchServer::writeNotes()
{
    for (const QString &line : qAsConst(m_notes))
        qInfo("%s", qPrintable(line));
    m_notes.clear();
}

void SwitchServer::sendDelayed()
{
    while (!m_delayed.isEmpty() && m_delayed.head().dueNsec <= m_clock.nsecsElapsed()) {
        const DelayedAnswer due = m_delayed.dequeue();
        answerFrame(due.connection, due.line, due.requestId, due.arrivalPort);
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
            {QStringLiteral("presentMask"), int(m_model.presentMask)}, {QStringLiteral("agents"), agentsOn(0)},
            {QStringLiteral("monitors"), m_model.monitors.size()}};
        QJsonObject accepted;
        for (auto it = m_accepted.cbegin(); it != m_accepted.cend(); ++it)
            accepted.insert(QString::number(it.key()), it.value());
        o.insert(QStringLiteral("accepted"), accepted);
        return QStringLiteral("ok ") + QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    writeNotes();
    qWarning("bad control command: %s", qPrintable(line.left(80)));
    return QStringLiteral("err bad control command");
}

void SwitchServer::disconnectAgents()
{
    // Pulling the cable: every open handle is dead for good.
    for (Connection &c : m_connections) {
        if (c.fd >= 0 && c.port != 0)
            close(c, false);
    }
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
            writeNotes();
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
