#include "QLogger.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cstdio>
#include <cstdlib>

namespace
{
const QString s_logOrganization = QStringLiteral("VORN");

// Fixed before main runs, so before the application names its organisation and itself: the
// standard location has no suffix of its own yet.
const QString s_logDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/')
    + s_logOrganization + QStringLiteral("/Spanlink");

constexpr int s_keepDays = 30;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = message.toLocal8Bit();

    const QString old = QLogger::logFile(QDate::currentDate().addDays(-s_keepDays));
    if (QFile::exists(old))
        QFile::remove(old);

    // Text append mode: on Windows each line then ends with CR LF.
    FILE *file = std::fopen(QFile::encodeName(QLogger::logFile(QDate::currentDate())).constData(), "a");
    if (!file)
        return;

    const QByteArray stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLocal8Bit();
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
    if (format)
        std::fprintf(file, format, stamp.constData(), text.constData(), fileName, unsigned(context.line), function);
    std::fclose(file);
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
}

QString QLogger::logDir()
{
    return s_logDir;
}

QString QLogger::logFile(const QDate &date)
{
    return s_logDir + QStringLiteral("/log") + date.toString(Qt::ISODate) + QStringLiteral(".txt");
}
