#include "QLogger.h"

#include <QtTest>

#include <cstdio>

#include <sys/stat.h>

static QByteArray readLog(const QString &path = QLogger::logFile(QDate::currentDate()))
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
        QVERIFY(QDir().mkpath(QLogger::logDir()));
        const QDate today = QDate::currentDate();
        QFile::remove(QLogger::logFile(today));
        for (int days : {29, 30, 31})
            QVERIFY(QFile(QLogger::logFile(today.addDays(-days))).open(QIODevice::WriteOnly));
        QLogger::start();
        const QByteArray place = " (" __FILE__ ":" + QByteArray::number(__LINE__ + 1) + ", " + Q_FUNC_INFO + ")";
        qDebug("abc");
        qWarning("not kept");
        qInfo("an info");
        QLogger::finish();
        qDebug("after finish");
        const QList<QByteArray> lines = readLog().split('\n');
        QCOMPARE(lines.size(), 3); // two lines and what follows the last line end
        const QRegularExpression line(QStringLiteral("^Date: ") + today.toString(Qt::ISODate)
            + QStringLiteral(" \\d\\d:\\d\\d:\\d\\d, Debug: abc")
            + QRegularExpression::escape(QString::fromLocal8Bit(place)) + QStringLiteral("$"));
        QVERIFY2(line.match(QString::fromLocal8Bit(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[1].contains(", Info: an info ("));
        QVERIFY(QFile::exists(QLogger::logFile(today.addDays(-29)))
            && QFile::exists(QLogger::logFile(today.addDays(-31)))
            && !QFile::exists(QLogger::logFile(today.addDays(-30))));
    }

    // A child logs a line and one "said". What stops or cripples the agent goes to stderr as the
    // same line; a log that cannot be written costs only the log: no wait, one line on stderr.
    void childProcess_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QByteArray>("err"); // one line on stderr; empty: nothing there
        QTest::addColumn<QByteArray>("logged"); // empty: no log file
        const QByteArray critical(", Critical: said ("), fatal(", Fatal: said (");
        QTest::newRow("debug") << int(QtDebugMsg) << QString() << QByteArray() << QByteArray(", Debug: said (");
        QTest::newRow("info") << int(QtInfoMsg) << QString() << QByteArray() << QByteArray(", Info: said (");
        QTest::newRow("critical") << int(QtCriticalMsg) << QString() << critical << critical;
        QTest::newRow("fatal") << int(QtFatalMsg) << QString() << fatal << fatal;
        QTest::newRow("folder is a file") << int(QtInfoMsg) << "file" << QByteArray("Not a directory") << QByteArray();
        QTest::newRow("log a FIFO") << int(QtInfoMsg) << "fifo" << QByteArray("not a regular file") << QByteArray();
    }
    void childProcess()
    {
        QFETCH(int, type);
        QFETCH(QString, broken);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, logged);
        QTemporaryDir home;
        const QString dir = home.path() + QStringLiteral("/VORN/Spanlink");
        const QString log = dir + QDate::currentDate().toString(QStringLiteral("'/log'yyyy-MM-dd'.txt'"));
        QVERIFY(QDir().mkpath(broken == QLatin1String("file") ? home.path() + QStringLiteral("/VORN") : dir));
        if (broken == QLatin1String("file"))
            QVERIFY(QFile(dir).open(QIODevice::WriteOnly));
        if (broken == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
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
