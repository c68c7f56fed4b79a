#include "QLogger.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
QByteArray readLog()
{
    QFile file(QLogger::logFile(QDate::currentDate()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// This binary as a child that logs two debug lines and one "said" of `type`, then says "ran on".
QProcess *child(const QString &type, const QString &dataHome = qEnvironmentVariable("XDG_DATA_HOME"))
{
    auto *p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    p->setProcessEnvironment(env);
    p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), type});
    return p;
}
} // namespace

class TestQLogger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // CTest points the data location into the build tree; never log into a real home.
        QVERIFY2(qEnvironmentVariableIsSet("XDG_DATA_HOME"), "run through CTest");
        QVERIFY(QLogger::logDir().startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
        QVERIFY(QLogger::logDir().endsWith(QStringLiteral("/VORN/Spanlink")));
        QCOMPARE(QFileInfo(QLogger::logFile(QDate(2021, 3, 31))).fileName(), QStringLiteral("log2021-03-31.txt"));
        QVERIFY(QDir().mkpath(QLogger::logDir()));
    }
    void init() { QFile::remove(QLogger::logFile(QDate::currentDate())); }

    void lineFormatsAndTheThirtiethDay()
    {
        const QDate today = QDate::currentDate();
        for (int days : {29, 30, 31})
            QVERIFY(QFile(QLogger::logFile(today.addDays(-days))).open(QIODevice::WriteOnly));
        QLogger::start();
        const auto now = [] {
            return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLocal8Bit();
        };
        const QByteArray before = now();
        const int line = __LINE__ + 1;
        qDebug("abc");
        qWarning("not kept");
        qInfo("an info");
        const QByteArray after = now();
        QLogger::finish();
        qDebug("after finish");
        const QList<QByteArray> lines = readLog().split('\n');
        QCOMPARE(lines.size(), 3); // two lines and what follows the last line end
        const QByteArray place
            = " (" + QByteArray(__FILE__) + ":" + QByteArray::number(line) + ", " + Q_FUNC_INFO + ")";
        QVERIFY2(lines.at(0) == "Date: " + before + ", Debug: abc" + place
                || lines.at(0) == "Date: " + after + ", Debug: abc" + place,
            lines.at(0).constData());
        QVERIFY(lines.at(1).contains(", Info: an info ("));
        QVERIFY(QFile::exists(QLogger::logFile(today.addDays(-29))));
        QVERIFY(!QFile::exists(QLogger::logFile(today.addDays(-30))));
        QVERIFY(QFile::exists(QLogger::logFile(today.addDays(-31))));
    }

    // What stops or cripples the agent also goes to stderr, as the same line.
    void criticalAndFatalAlsoReachStderr_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("onStderr");
        QTest::newRow("Debug") << QStringLiteral("debug") << false;
        QTest::newRow("Info") << QStringLiteral("info") << false;
        QTest::newRow("Critical") << QStringLiteral("critical") << true;
        QTest::newRow("Fatal") << QStringLiteral("fatal") << true;
    }
    void criticalAndFatalAlsoReachStderr()
    {
        QFETCH(QString, type);
        QFETCH(bool, onStderr);
        const QByteArray line = ", " + QByteArray(QTest::currentDataTag()) + ": said (";
        QScopedPointer<QProcess> p(child(type));
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitStatus(), type == QLatin1String("fatal") ? QProcess::CrashExit : QProcess::NormalExit);
        const QByteArray err = p->readAllStandardError();
        QCOMPARE(err.contains(line), onStderr);
        QVERIFY(readLog().contains(line)); // written before the end
        QCOMPARE(err.startsWith("Date: ") && err.contains("tst_qlogger.cpp:"), onStderr);
    }

    // A log that cannot be written costs only the log: no wait, and one line on stderr saying why.
    void brokenLogSaysSoOnceAndRunsOn_data()
    {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("the folder is a file") << QStringLiteral("folder-file") << QByteArray("Not a directory");
        QTest::newRow("the day's log is a FIFO") << QStringLiteral("fifo") << QByteArray("not a regular file");
        QTest::newRow("the folder is read-only") << QStringLiteral("read-only") << QByteArray("Permission denied");
    }
    void brokenLogSaysSoOnceAndRunsOn()
    {
        QFETCH(QString, broken);
        QFETCH(QByteArray, why);
        if (broken == QLatin1String("read-only") && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QTemporaryDir home;
        const QString dir = home.path() + QStringLiteral("/VORN/Spanlink");
        const QString log
            = dir + QStringLiteral("/log") + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
        QVERIFY(QDir().mkpath(broken == QLatin1String("folder-file") ? home.path() + QStringLiteral("/VORN") : dir));
        if (broken == QLatin1String("folder-file"))
            QVERIFY(QFile(dir).open(QIODevice::WriteOnly));
        else if (broken == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        else
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        QScopedPointer<QProcess> p(child(QStringLiteral("info"), home.path()));
        QVERIFY2(p->waitForFinished(10000), "blocked on the log");
        QCOMPARE(p->readAllStandardOutput(), QByteArray("ran on\n"));
        const QByteArray err = p->readAllStandardError();
        QCOMPARE(err.count(QFile::encodeName(log)), 1);
        QVERIFY2(err.contains(why) && err.count('\n') == 1, err.constData());
        QVERIFY(!QFileInfo(log).isFile());
    }
};

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0) {
        QLogger::start();
        qDebug("line 1");
        qDebug("line 2");
        const QByteArray type = argv[2];
        if (type == "debug")
            qDebug("said");
        else if (type == "info")
            qInfo("said");
        else if (type == "critical")
            qCritical("said");
        else
            qFatal("said");
        std::fputs("ran on\n", stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestQLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_qlogger.moc"
