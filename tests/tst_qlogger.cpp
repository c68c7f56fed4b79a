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
QByteArray readLog(const QDate &date = QDate::currentDate())
{
    QFile file(QLogger::logFile(date));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray stamp(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLocal8Bit();
}

void touch(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
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
        QLogger::start();
        QVERIFY(QDir(QLogger::logDir()).exists());
    }
    void cleanupTestCase() { QLogger::finish(); }
    void init() { QFile::remove(QLogger::logFile(QDate::currentDate())); }

    void lineFormats()
    {
        QCOMPARE(QFileInfo(QLogger::logFile(QDate(2021, 3, 31))).fileName(), QStringLiteral("log2021-03-31.txt"));

        const QDateTime before = QDateTime::currentDateTime();
        const int line = __LINE__ + 1;
        qDebug("abc");
        qInfo("an info");
        qCritical("a critical");
        const QDateTime after = QDateTime::currentDateTime();

        const QList<QByteArray> lines = readLog().split('\n');
        QCOMPARE(lines.size(), 4); // three lines and what follows the last line end
        const QByteArray place
            = " (" + QByteArray(__FILE__) + ":" + QByteArray::number(line) + ", " + QByteArray(Q_FUNC_INFO) + ")";
        QVERIFY2(lines.at(0) == "Date: " + stamp(before) + ", Debug: abc" + place
                || lines.at(0) == "Date: " + stamp(after) + ", Debug: abc" + place,
            lines.at(0).constData());
        QVERIFY(lines.at(1).contains(", Info: an info ("));
        QVERIFY(lines.at(2).contains(", Critical: a critical ("));
        QVERIFY(lines.at(3).isEmpty());
    }

    void warningsLeaveNoLine()
    {
        qWarning("not kept");
        QVERIFY(QFile::exists(QLogger::logFile(QDate::currentDate())));
        QCOMPARE(readLog(), QByteArray());
    }

    void onlyTheFileOfThirtyDaysAgoGoes()
    {
        const QDate today = QDate::currentDate();
        for (int days : {29, 30, 31})
            touch(QLogger::logFile(today.addDays(-days)));
        qDebug("one message");
        QVERIFY(QFile::exists(QLogger::logFile(today.addDays(-29))));
        QVERIFY(!QFile::exists(QLogger::logFile(today.addDays(-30))));
        QVERIFY(QFile::exists(QLogger::logFile(today.addDays(-31))));
    }

    void fatalIsWrittenBeforeTheEnd()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--fatal-child")});
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QVERIFY(readLog().contains(", Fatal: the end ("));
    }

    // What stops or cripples the agent is also said to whoever started it; the rest only goes
    // to the file.
    void criticalAndFatalAlsoReachStderr_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("onStderr");
        QTest::newRow("debug") << QStringLiteral("debug") << QByteArray(", Debug: said (") << false;
        QTest::newRow("info") << QStringLiteral("info") << QByteArray(", Info: said (") << false;
        QTest::newRow("critical") << QStringLiteral("critical") << QByteArray(", Critical: said (") << true;
        QTest::newRow("fatal") << QStringLiteral("fatal") << QByteArray(", Fatal: said (") << true;
    }
    void criticalAndFatalAlsoReachStderr()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, line);
        QFETCH(bool, onStderr);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--message-child"), type});
        QVERIFY(child.waitForFinished(10000));
        const QByteArray err = child.readAllStandardError();
        QCOMPARE(err.contains(line), onStderr);
        QVERIFY(readLog().contains(line));
        if (onStderr) // the same line as in the file
            QVERIFY(err.startsWith("Date: ") && err.contains("tst_qlogger.cpp:"));
    }

    // A log that cannot be written costs nothing but the log: the process runs on without
    // waiting, and says once, on stderr, which file and why.
    void brokenLogSaysSoOnceAndRunsOn_data()
    {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("the folder is a file") << QStringLiteral("folder-file") << QByteArray("Not a directory");
        QTest::newRow("the day's log is a FIFO") << QStringLiteral("fifo") << QByteArray("not a regular file");
        QTest::newRow("the day's log is a folder") << QStringLiteral("log-folder") << QByteArray("not a regular file");
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
        if (broken == QLatin1String("folder-file")) {
            QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/VORN")));
            touch(dir);
        } else {
            QVERIFY(QDir().mkpath(dir));
            if (broken == QLatin1String("fifo"))
                QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
            else if (broken == QLatin1String("log-folder"))
                QVERIFY(QDir().mkpath(log));
            else
                QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        }

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--log-child")});
        QVERIFY2(child.waitForFinished(10000), "blocked on the log");
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.readAllStandardOutput(), QByteArray("ran on\n"));
        const QByteArray err = child.readAllStandardError();
        QCOMPARE(err.count(QFile::encodeName(log)), 1);
        QVERIFY2(err.contains(why), err.constData());
        QCOMPARE(err.count('\n'), 1);
        QVERIFY(QFileInfo(log).isFile() == false);
    }

    void finishRestoresTheDefault()
    {
        QLogger::finish();
        qDebug("after finish");
        QLogger::start();
        QVERIFY(!readLog().contains("after finish"));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--fatal-child") == 0) {
        QLogger::start();
        qFatal("the end");
    }
    if (argc > 2 && qstrcmp(argv[1], "--message-child") == 0) {
        QLogger::start();
        const QByteArray type = argv[2];
        if (type == "debug")
            qDebug("said");
        else if (type == "info")
            qInfo("said");
        else if (type == "critical")
            qCritical("said");
        else
            qFatal("said");
        return 0;
    }
    if (argc > 1 && qstrcmp(argv[1], "--log-child") == 0) {
        QLogger::start();
        for (int i = 0; i < 3; ++i)
            qDebug("line %d", i);
        qInfo("an info");
        std::fputs("ran on\n", stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestQLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_qlogger.moc"
