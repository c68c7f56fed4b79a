#pragma once

#include <QApplication>

class QLocalServer;
class QLocalSocket;

// The application object. At construction it finds out over a local socket whether the agent
// runs already; if so it hands that instance its last argument and reports isRunning().
class QSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QSingleApplication(int &argc, char **argv);

    bool isRunning() const { return m_isRunning; }

    // Where the server listens: in a folder of this user's that no other account can enter,
    // so that none can answer for us or hear our later starts. Empty when there is none.
    static QString serverName();

private slots:
    void newLocalConnection();

private:
    void readWord(QLocalSocket *socket);

    QLocalServer *m_localServer = nullptr;
    bool m_isRunning = false;
    int m_readers = 0;
    bool m_droppedReported = false;
};
