#pragma once

#include "switchmodel.h"

#include <QHash>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
struct _XDisplay;

// Serves one switch model to the agents of several "computers" over a local socket, one text
// line per request and per answer:
//
//   agent:   hello <port>          -> ok | err <why>     (the cable is plugged into <port>)
//            frame <hex>           -> reply <hex> | err <why>
//   control: ctl <command> [args]  -> ok [data] | err <why>
//
// Control commands: unplug, plug, absent <port>, present <port>, highlight <on> <duration>,
// cyclic <0|1>, mouseposition <n>, last (the last accepted switch request), status.
//
// When it hands keyboard and mouse to a port, it presses and releases F13 on that port's X
// display through XTest, as the real switch announces the arrival.
class SwitchServer : public QObject
{
    Q_OBJECT

public:
    explicit SwitchServer(QObject *parent = nullptr);
    ~SwitchServer() override;

    SwitchModel &model() { return m_model; }
    QHash<int, QString> &displays() { return m_displays; }
    bool listen(const QString &path);
    // What a control line answers; also used by the command-line client's own tests.
    QString control(const QString &line);

private:
    void readClient(QLocalSocket *socket);
    QString handle(QLocalSocket *socket, const QString &line);
    void announceArrival(int port);
    void disconnectAgents();

    QLocalServer *m_server = nullptr;
    SwitchModel m_model;
    bool m_plugged = true;
    QHash<QLocalSocket *, int> m_agents; // connection -> port it is attached to
    QHash<int, QString> m_displays; // port -> X display of that computer
    QHash<int, int> m_accepted; // port -> requests accepted from it
    QHash<int, _XDisplay *> m_xConnections;
};
