#pragma once

#include <QApplication>

class QLocalServer;

// The application object. At construction it finds out over a local socket whether the agent
// runs already; if so it hands that instance its last argument and reports isRunning().
class QSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QSingleApplication(int &argc, char **argv);

    bool isRunning() const { return m_isRunning; }

private slots:
    void newLocalConnection();

private:
    QLocalServer *m_localServer = nullptr;
    bool m_isRunning = false;
};
