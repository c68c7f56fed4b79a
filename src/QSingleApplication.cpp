#include "QSingleApplication.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextCodec>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
const QString s_organizationName = QStringLiteral("VORN");
const QString s_applicationName = QStringLiteral("Spanlink");

constexpr int s_connectMsec = 500;
constexpr int s_writeMsec = 30000;
constexpr int s_readMsec = 1000;

// A later start sends one argument; anything longer is not ours and is cut here, before it
// is buffered.
constexpr int s_maxWordBytes = 256;
// Connections read at the same time; more are closed at once.
constexpr int s_maxReaders = 64;

bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A word has ended once white space follows something that is not.
bool wordComplete(const QByteArray &bytes)
{
    int i = 0;
    while (i < bytes.size() && isAsciiSpace(bytes.at(i)))
        ++i;
    while (i < bytes.size() && !isAsciiSpace(bytes.at(i)))
        ++i;
    return i < bytes.size();
}

// The first word of what arrived, as the locale decodes it. Bytes that do not decode become
// U+DC80..U+DCFF, which the debug stream writes as \uDCxx, as it writes control characters as
// \uXXXX: the log line stays printable and still tells which bytes came.
QString firstWord(const QByteArray &bytes, bool cut)
{
    QTextCodec::ConverterState state;
    QString text = QTextCodec::codecForLocale()->toUnicode(bytes.constData(), bytes.size(), &state);
    // A cut may split the last character; that tail is dropped, not taken for bad input.
    if (state.invalidChars > 0 || (state.remainingChars > 0 && !cut)) {
        text.clear();
        for (const char c : bytes)
            text += QChar(uchar(c) < 0x80 ? ushort(uchar(c)) : ushort(0xdc00 + uchar(c)));
    }
    int begin = 0;
    while (begin < text.size() && text.at(begin).isSpace())
        ++begin;
    int end = begin;
    while (end < text.size() && !text.at(end).isSpace())
        ++end;
    return text.mid(begin, end - begin);
}
} // namespace

#ifndef Q_OS_WIN
namespace
{
// A folder that only this user can enter or change: a folder itself (not a link to one), its
// own, and closed to group and others.
bool isPrivateFolder(const QByteArray &path, bool followLink, QString &why)
{
    struct stat info;
    if ((followLink ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode))
        why = QStringLiteral("not a folder");
    else if (info.st_uid != ::geteuid())
        why = QStringLiteral("owned by user id %1").arg(info.st_uid);
    else if (info.st_mode & 077)
        why = QStringLiteral("mode %1, open to others").arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    else
        return true;
    return false;
}

// This user's runtime folder if it is a private one; else a private folder of our own under the
// temporary folder, made here or by an earlier start of this user, so that later starts find
// the same one. Empty when there is none: another account may have taken our folder's name.
QString privateRuntimeFolder()
{
    QString why;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        if (isPrivateFolder(runtime, true, why))
            return QFile::decodeName(runtime);
        qInfo("The runtime folder %s is not private (%s); the single-instance socket goes elsewhere.",
            runtime.constData(), qPrintable(why));
    }
    const QByteArray own = QFile::encodeName(QDir::tempPath()) + "/spanlink-" + QByteArray::number(::geteuid());
    // Made closed from the start, and checked all the same: the name may have been taken before.
    if (::mkdir(own.constData(), 0700) != 0 && errno != EEXIST) {
        qCritical(
            "Cannot make the folder %s for the single-instance socket: %s", own.constData(), std::strerror(errno));
        return QString();
    }
    if (!isPrivateFolder(own, false, why)) {
        qCritical("The folder %s for the single-instance socket is not ours alone (%s): running without the "
                  "single-instance check.",
            own.constData(), qPrintable(why));
        return QString();
    }
    return QFile::decodeName(own);
}
} // namespace
#endif

QString QSingleApplication::serverName()
{
    const QString name = s_organizationName + s_applicationName;
#ifdef Q_OS_WIN
    // A named pipe; the user-only access set on the server keeps other accounts off it.
    return name;
#else
    // Never a bare name: Qt would put it in the shared temporary folder, where anyone can
    // listen on it first.
    const QString folder = privateRuntimeFolder();
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + name;
#endif
}

QSingleApplication::QSingleApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    m_isRunning = false;
    setOrganizationName(s_organizationName);
    setApplicationName(s_applicationName);
    const QString name = serverName();
    if (name.isEmpty())
        return; // nowhere safe to meet another start: this one runs alone

    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(name, QIODevice::ReadWrite);
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
    m_localServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_localServer, &QLocalServer::newConnection, this, &QSingleApplication::newLocalConnection);
    if (!m_localServer->listen(name)) {
        // A first instance that was killed leaves its socket file behind; nobody answered on
        // it above, so it is stale.
        if (m_localServer->serverError() == QAbstractSocket::AddressInUseError) {
            QLocalServer::removeServer(name);
            m_localServer->listen(name);
        }
    }
}

void QSingleApplication::newLocalConnection()
{
    while (QLocalSocket *socket = m_localServer->nextPendingConnection()) {
        if (m_readers >= s_maxReaders) {
            if (!m_droppedReported)
                qDebug("Too many connections to the single-instance socket; closing the newest.");
            m_droppedReported = true;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        readWord(socket);
    }
}

// The word is collected as it arrives, never waited for: the GUI thread runs the input hooks.
// The connection ends when the word is complete, the peer closes, s_maxWordBytes have come or
// s_readMsec have passed, whichever is first; what arrived until then is the word.
void QSingleApplication::readWord(QLocalSocket *socket)
{
    ++m_readers;
    socket->setReadBufferSize(s_maxWordBytes);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto bytes = std::make_shared<QByteArray>();

    auto finish = [this, socket, deadline, bytes] {
        deadline->stop();
        disconnect(socket, nullptr, this, nullptr);
        const QString word = firstWord(*bytes, bytes->size() >= s_maxWordBytes);
        qDebug() << QStringLiteral("The value is: %1").arg(word);
        --m_readers;
        if (m_readers < s_maxReaders)
            m_droppedReported = false;
        socket->abort();
        socket->deleteLater();
    };
    // Returns true when the connection was finished.
    auto take = [socket, bytes, finish] {
        const qint64 room = s_maxWordBytes - bytes->size();
        if (room > 0)
            bytes->append(socket->read(room));
        if (bytes->size() >= s_maxWordBytes || wordComplete(*bytes)
            || socket->state() == QLocalSocket::UnconnectedState) {
            finish();
            return true;
        }
        return false;
    };
    connect(socket, &QLocalSocket::readyRead, this, take);
    connect(socket, &QLocalSocket::disconnected, this, [take, finish] {
        if (!take())
            finish();
    });
    connect(deadline, &QTimer::timeout, this, finish);
    if (!take())
        deadline->start(s_readMsec);
}
