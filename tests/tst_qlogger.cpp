#include "QLogger.h"

#include <QtTest>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

QByteArray readLog(const QString &path = QLogger::logFile(QDate::currentDate()))
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class TestQLogger : public QObject
{
    Q_OBJECT

private slots:
    void lineFormatsAndTheThirtiethDay()
    {
        // CTest points the data location into the build tree; never log into a real home.
        QVERIFY(QLogger::logDir() == qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/VORN/Spanlink"));
        QCOMPARE(QFileInfo(QLogger::logFile(QDate(2021, 3, 31))).fileName(), QStringLiteral("log2021-03-31.txt"));
        QVERIFY(QDir().mkpath(QLogger::logDir()));
        QFile::remove(QLogger::logFile(QDate::currentDate()));
        const QDate today = QDate::currentDate();
        for (int days : {29, 30, 31})
            QVERIFY(QFile(QLogger::logFile(today.addDays(-days))).open(QIODevice::WriteOnly));
        const auto now = [] {
            return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        };
        const QByteArray before = now().toLocal8Bit();
        QLogger::start();
        const QByteArray place = " (" __FILE__ ":" + QByteArray::number(__LINE__ + 1) + ", " + Q_FUNC_INFO + ")";
        qDebug("abc");
        qWarning("not kept");
        qInfo("an info");
        const QByteArray after = now().toLocal8Bit();
        QLogger::finish();
        qDebug("after finish");
        const QList<QByteArray> lines = readLog().split('\n');
        QCOMPARE(lines.size(), 3); // two lines and what follows the last line end
        QVERIFY2(lines[0] == "Date: " + before + ", Debug: abc" + place
                || lines[0] == "Date: " + after + ", Debug: abc" + place,
            lines[0].constData());
        QVERIFY(lines[1].contains(", Info: an info ("));
        QVERIFY(
            QFile::exists(QLogger::logFile(today.addDays(-29))) && QFile::exists(QLogger::logFile(today.addDays(-31))));
        QVERIFY(!QFile::exists(QLogger::logFile(today.addDays(-30))));
    }

    // A child logs a line and one "said" of a type. What stops or cripples the agent also goes to
    // stderr as the same line; a log that cannot be written costs only the log: no wait, and one
    // line on stderr saying which file and why.
    void childProcess_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QByteArray>("err"); // on stderr, one line; empty: nothing there
        QTest::addColumn<QByteArray>("logged"); // empty: no log file
        QTest::newRow("debug") << int(QtDebugMsg) << QString() << QByteArray() << QByteArray(", Debug: said (");
        QTest::newRow("info") << int(QtInfoMsg) << QString() << QByteArray() << QByteArray(", Info: said (");
        QTest::newRow("critical") << int(QtCriticalMsg) << QString() << QByteArray(", Critical: said (")
                                  << QByteArray(", Critical: said (");
        QTest::newRow("fatal") << int(QtFatalMsg) << QString() << QByteArray(", Fatal: said (")
                               << QByteArray(", Fatal: said (");
        QTest::newRow("folder is a file") << int(QtInfoMsg) << "file" << QByteArray("Not a directory") << QByteArray();
        QTest::newRow("day's log a FIFO")
            << int(QtInfoMsg) << "fifo" << QByteArray("not a regular file") << QByteArray();
        QTest::newRow("folder read-only") << int(QtInfoMsg) << "ro" << QByteArray("Permission denied") << QByteArray();
    }
    void childProcess()
    {
        QFETCH(int, type);
        QFETCH(QString, broken);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, logged);
        if (broken == QLatin1String("ro") && ::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QTemporaryDir home;
        const QString dir = home.path() + QStringLiteral("/VORN/Spanlink");
        const QString log
            = dir + QStringLiteral("/log") + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
        QVERIFY(QDir().mkpath(broken == QLatin1String("file") ? home.path() + QStringLiteral("/VORN") : dir));
        if (broken == QLatin1String("file"))
            QVERIFY(QFile(dir).open(QIODevice::WriteOnly));
        else if (broken == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        else if (broken == QLatin1String("ro"))
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QString::number(type)});
        QVERIFY2(p.waitForFinished(10000), "blocked on the log");
        QCOMPARE(p.readAllStandardOutput(), QByteArray(type == QtFatalMsg ? "" : "ran on\n"));
        const QByteArray e = p.readAllStandardError();
        QVERIFY2(e.contains(err) && e.count('\n') == (err.isEmpty() ? 0 : 1), e.constData());
        QCOMPARE(e.count(QFile::encodeName(log)), broken.isEmpty() ? 0 : 1);
        // On stderr the same line as in the file.
        QVERIFY(
            logged.isEmpty() ? !QFileInfo(log).isFile() : readLog(log).contains(logged) && readLog(log).contains(e));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0) {
        QLogger::start();
        qDebug("a line");
        qt_message_output(QtMsgType(atoi(argv[2])), QMessageLogContext(__FILE__, __LINE__, Q_FUNC_INFO, "default"),
            QStringLiteral("said"));
        std::fputs("ran on\n", stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestQLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_qlogger.moc"
