#pragma once

#include "switchmodel.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QTimer>

class QIODevice;
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
// display through XTest, as the real switch announces the arrival.
//
// With an answer delay, each frame is carried out when it comes and its answer (and the
// arrival key it brings) leaves that much later, as over a USB control transfer; meanwhile
// the other agents are served, and answers leave in the order their frames came.
class SwitchServer : public QObject
{
    Q_OBJECT

public:
    explicit SwitchServer(QObject *parent = nullptr);
    ~SwitchServer() override;

    SwitchModel &model() { return m_model; }
    QHash<int, QString> &displays() { return m_displays; }
    bool listen(const QString &path);
    // Loopback only; port 0 picks a free one. The port listened on, or 0 on failure.
    quint16 listenTcp(quint16 port);
    // What a control line answers; also used by the command-line client's own tests.
    QString control(const QString &line);
    // Serves the requests that arrive on a connection from now on (also any QIODevice).
    void accept(QIODevice *socket);
    // 0, the default: every answer leaves at once.
    void setAnswerDelay(int msec) { m_answerDelayMsec = msec; }

private:
    void readClient(QIODevice *socket);
    QString handle(QIODevice *socket, const QString &line);
    // The answer to a frame, then the arrival key for `arrivalPort` (0: none).
    void answerFrame(QIODevice *socket, const QByteArray &line, int requestId, int arrivalPort);
    void sendDelayed();
    void announceArrival(int port);
    void disconnectAgents();

    QLocalServer *m_server = nullptr;
    QTcpServer *m_tcpServer = nullptr;
    SwitchModel m_model;
    bool m_plugged = true;
    QHash<QIODevice *, int> m_agents; // connection -> port it is attached to
    QHash<int, QString> m_displays; // port -> X display of that computer
    QHash<int, int> m_accepted; // port -> requests accepted from it
    QHash<int, _XDisplay *> m_xConnections;

    struct DelayedAnswer {
        QPointer<QIODevice> socket; // null once the agent has gone
        QByteArray line;
        int requestId = 0;
        int arrivalPort = 0;
        qint64 dueNsec = 0;
    };
    int m_answerDelayMsec = 0;
    QQueue<DelayedAnswer> m_delayed;
    QTimer m_delayTimer;
    QElapsedTimer m_clock;
};
