#include "QLogger.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{
const QString s_logOrganization = QStringLiteral("VORN");

// Fixed before main runs, so before the application names its organisation and itself: the
// standard location has no suffix of its own yet.
const QString s_logDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/')
    + s_logOrganization + QStringLiteral("/Spanlink");

constexpr int s_keepDays = 30;

// Said once on stderr when the log cannot be written, again only after it could be once more.
std::atomic<bool> s_failureReported {false};

void reportLogFailure(const QByteArray &path, const char *why)
{
    if (s_failureReported.exchange(true))
        return;
    std::fprintf(
        stderr, "Spanlink: cannot write the log file %s: %s; messages are not logged.\n", path.constData(), why);
    std::fflush(stderr);
}

// Opens the day's log for appending. Only a regular file is written: a FIFO or a device in its
// place could block the GUI thread or swallow the log, so it is refused without waiting.
FILE *openLog(const QByteArray &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        reportLogFailure(path, "not a regular file");
        return nullptr;
    }
    // Non-blocking: should a FIFO take its place after the look above, opening it still
    // returns at once.
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        reportLogFailure(path, std::strerror(errno));
        return nullptr;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reportLogFailure(path, "not a regular file");
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    FILE *file = ::fdopen(fd, "a");
    if (!file) {
        ::close(fd);
        reportLogFailure(path, std::strerror(errno));
    }
    return file;
#else
    const QFileInfo info(QFile::decodeName(path));
    if (info.exists() && !info.isFile()) {
        reportLogFailure(path, "not a regular file");
        return nullptr;
    }
    // Text append mode: each line then ends with CR LF.
    FILE *file = std::fopen(path.constData(), "a");
    if (!file)
        reportLogFailure(path, std::strerror(errno));
    return file;
#endif
}

// The day's file stays open for the day: a message costs one formatted write and a flush,
// not an open, a close and a look for the thirty-days-old file. Messages all come from the
// GUI thread; the lock only keeps one from another thread whole.
struct DayLog {
    std::recursive_mutex lock; // recursive: removing a file may itself say something
    QDate day;
    FILE *file = nullptr;

    // The file of `today`, opened (and the file of thirty days before removed) with the first
    // message of the day. Null when it cannot be opened; the next message tries again.
    FILE *fileOf(const QDate &today)
    {
        if (file && day == today)
            return file;
        if (file) {
            std::fclose(file);
            file = nullptr;
        }
        if (day != today) {
            day = today;
            const QString old = QLogger::logFile(today.addDays(-s_keepDays));
            if (QFile::exists(old))
                QFile::remove(old);
        }
        file = openLog(QFile::encodeName(QLogger::logFile(today)));
        return file;
    }

    void close()
    {
        if (file)
            std::fclose(file);
        file = nullptr;
        day = QDate();
    }
};

DayLog &dayLog()
{
    static DayLog *log = new DayLog; // lives on past exit: messages may come from static destructors
    return *log;
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = message.toLocal8Bit();
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray stamp = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLocal8Bit();
    // Messages from the toolkit's own libraries may come without a place.
    const char *fileName = context.file ? context.file : "";
    const char *function = context.function ? context.function : "";
    const char *format = nullptr;
    switch (type) {
    case QtDebugMsg:
        format = "Date: %s, Debug: %s (%s:%u, %s)\n";
        break;
    case QtInfoMsg:
        format = "Date: %s, Info: %s (%s:%u, %s)\n";
        break;
    case QtCriticalMsg:
        format = "Date: %s, Critical: %s (%s:%u, %s)\n";
        break;
    case QtFatalMsg:
        format = "Date: %s, Fatal: %s (%s:%u, %s)\n";
        break;
    case QtWarningMsg:
        break; // warnings are not kept
    }

    // What ends or cripples the agent (no display, no platform plugin) must reach whoever
    // started it, not only the file. The platform plugin says why it failed in a warning just
    // before its fatal message; that one warning goes along.
    thread_local QByteArray platformWarning;
    if (type == QtWarningMsg && context.category && std::strncmp(context.category, "qt.qpa", 6) == 0)
        platformWarning = context.category + QByteArrayLiteral(": ") + text;
    if (type == QtFatalMsg && !platformWarning.isEmpty())
        std::fprintf(stderr, "Date: %s, Warning: %s\n", stamp.constData(), platformWarning.constData());
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, format, stamp.constData(), text.constData(), fileName, unsigned(context.line), function);
        std::fflush(stderr);
    }

    DayLog &log = dayLog();
    {
        std::lock_guard<std::recursive_mutex> locked(log.lock);
        if (FILE *file = log.fileOf(now.date())) {
            if (format)
                std::fprintf(
                    file, format, stamp.constData(), text.constData(), fileName, unsigned(context.line), function);
            // Each line reaches the file at once: it is read while the agent runs, and after a crash.
            if (std::fflush(file) == 0)
                s_failureReported = false;
            if (type == QtFatalMsg)
                log.close();
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}
} // namespace

void QLogger::start()
{
    qInstallMessageHandler(messageHandler);
    QDir().mkpath(s_logDir);
}

void QLogger::finish()
{
    qInstallMessageHandler(nullptr);
    DayLog &log = dayLog();
    std::lock_guard<std::recursive_mutex> locked(log.lock);
    log.close();
}

QString QLogger::logDir()
{
    return s_logDir;
}

QString QLogger::logFile(const QDate &date)
{
    return s_logDir + QStringLiteral("/log") + date.toString(Qt::ISODate) + QStringLiteral(".txt");
}
