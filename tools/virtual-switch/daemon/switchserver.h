#pragma once

#include "switchmodel.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class QLocalServer;
class QTcpServer;
struct _XDisplay;

// Serves one switch model to the agents of several "computers" over a local socket, and over
// loopback TCP for agents that cannot reach a local socket (a Windows agent under Wine), one
// text line per request and per answer:
//
//   agent:   hello <port>          -> ok | err <why>     (the cable is plugged into <port>)
//            frame <hex> [<until>] -> reply <hex> | err <why>
//                                     (<until>: wall-clock ms after which the agent no longer
//                                     waits; a later frame is not carried out, nor one whose
//                                     agent has hung up, and the connection is closed)
//   control: ctl <command> [args]  -> ok [data] | err <why>
//
// Control commands: unplug, plug, absent <port>, present <port>, highlight <on> <duration>,
// cyclic <0|1>, mouseposition <n>, last (the last accepted switch request), status.
//
// When it hands keyboard and mouse to a port, it presses and releases F13 on that port's X
// display through XTest, as the real switch announces the arrival, and then answers the
// request.
//
// With an answer delay, each frame is carried out when it comes and its answer (and the
// arrival key it brings) leaves that much later, as over a USB control transfer; meanwhile
// the other agents are served, and answers leave in the order their frames came.
//
// A device answers at once, whatever else the computer is doing. So the connections are
// served on a thread of their own that waits in poll() and does nothing else: an agent waits
// for each answer inside its input hook, and the toolkit's event loop and socket classes cost
// it tens of microseconds before its frame is even read. The event loop only accepts
// connections and hands them over.
class SwitchServer : public QObject
{
    Q_OBJECT

public:
    explicit SwitchServer(QObject *parent = nullptr);
    ~SwitchServer() override;

    // Set up before the first connection is served.
    SwitchModel &model() { return m_model; }
    QHash<int, QString> &displays() { return m_displays; }
    // 0, the default: every answer leaves at once.
    void setAnswerDelay(int msec) { m_answerDelayMsec = msec; }

    bool listen(const QString &path);
    // Loopback only; port 0 picks a free one. The port listened on, or 0 on failure.
    quint16 listenTcp(quint16 port);

private:
    struct Connection {
        quint64 id = 0; // never reused, unlike the descriptor
        int fd = -1;
        QByteArray in; // read, not yet a whole line
        QByteArray out; // answers the socket did not take at once
        int port = 0; // attached to, after its hello
        bool ended = false; // the other end has closed: what it sent before is still read
        bool closing = false; // close once the answers are out
        bool dropped = false; // close now, unanswered
    };

    // Hands an accepted connection to the serving thread.
    void adopt(int fd);
    void startServing();
    void serve();
    void takeAdopted();
    // Reads what has come; false once the connection is to be closed.
    bool readFrom(Connection &c);
    bool flushOut(Connection &c);
    void close(Connection &c, bool tellAgentGone = true);
    QString handle(Connection &c, const QByteArray &line);
    QString control(const QString &line);
    void send(Connection &c, const QByteArray &line);
    // The answer to a frame, after the arrival key for `arrivalPort` (0: none).
    void answerFrame(quint64 connection, const QByteArray &line, int requestId, int arrivalPort);
    void sendDelayed();
    // Milliseconds until the next timed work; -1: none.
    int nextWakeMsec() const;
    void announceArrival(int port);
    void disconnectAgents();
    int agentsOn(int port) const;
    Connection *connectionOf(quint64 id);
    // A line for the log that can wait: written with the others, in order, a little later.
    void noteLater(const QString &line);
    void writeNotes();

    QLocalServer *m_server = nullptr;
    QTcpServer *m_tcpServer = nullptr;
    SwitchModel m_model;
    QHash<int, QString> m_displays; // port -> X display of that computer
    int m_answerDelayMsec = 0;

    // The serving thread's own from here on.
    bool m_plugged = true;
    std::vector<Connection> m_connections;
    quint64 m_nextId = 1;
    QHash<int, int> m_accepted; // port -> requests accepted from it
    QHash<int, _XDisplay *> m_xConnections;
    struct DelayedAnswer {
        quint64 connection = 0; // gone meanwhile: nothing is sent
        QByteArray line;
        int requestId = 0;
        int arrivalPort = 0;
        qint64 dueNsec = 0;
    };
    QQueue<DelayedAnswer> m_delayed;
    QStringList m_notes;
    qint64 m_notesDueNsec = 0;
    qint64 m_traceFlushNsec = 0;
    QElapsedTimer m_clock;

    // Between the two threads.
    std::thread m_thread;
    int m_wake[2] = {-1, -1}; // a pipe: a connection adopted, or time to end
    std::mutex m_adoptLock;
    std::vector<int> m_adopted;
    std::atomic<bool> m_ending {false};
};
