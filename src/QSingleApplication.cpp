#include "QSingleApplication.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextStream>

#include <memory>

namespace
{
const QString s_organizationName = QStringLiteral("VORN");
const QString s_applicationName = QStringLiteral("Spanlink");

constexpr int s_connectMsec = 500;
constexpr int s_writeMsec = 30000;
constexpr int s_readMsec = 1000;
} // namespace

QSingleApplication::QSingleApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    m_isRunning = false;
    setOrganizationName(s_organizationName);
    setApplicationName(s_applicationName);
    const QString serverName = organizationName() + applicationName();

    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(serverName, QIODevice::ReadWrite);
    if (socket->waitForConnected(s_connectMsec)) {
        QTextStream stream(socket.get());
        const QStringList args = arguments();
        stream << (args.size() > 1 ? args.last() : QString());
        stream.flush();
        qDebug("Have already connected to server.");
        socket->waitForBytesWritten(s_writeMsec);
        m_isRunning = true;
        return;
    }

    m_localServer = new QLocalServer(this);
    connect(m_localServer, &QLocalServer::newConnection, this, &QSingleApplication::newLocalConnection);
    if (!m_localServer->listen(serverName)) {
        // A first instance that was killed leaves its socket file behind; nobody answered on
        // it above, so it is stale.
        if (m_localServer->serverError() == QAbstractSocket::AddressInUseError) {
            QLocalServer::removeServer(serverName);
            m_localServer->listen(serverName);
        }
    }
}

void QSingleApplication::newLocalConnection()
{
    QLocalSocket *socket = m_localServer->nextPendingConnection();
    if (!socket)
        return;
    socket->waitForReadyRead(s_readMsec);
    QTextStream stream(socket);
    QString word;
    stream >> word;
    qDebug() << QStringLiteral("The value is: %1").arg(word);
    delete socket;
}
