// The log, written by a child process of this test with a data folder of its own.

#include "QLogger.h"
#include "xdesktop.h"

#include <QtTest>

#include <cstdio>

#include <sys/stat.h>

class TestQLogger : public QObject
{
    Q_OBJECT

private slots:
    // A child logs a line, a warning (not kept), one "said"; critical and fatal also go to stderr.
    // An unwritable log costs only the log, with one line on stderr. The 30th day's file goes.
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
        const QString folder = home.path() + QStringLiteral("/VORN/Spanlink");
        const auto logOf = [&](int daysAgo) {
            return folder + QDate::currentDate().addDays(-daysAgo).toString(QStringLiteral("'/log'yyyy-MM-dd'.txt'"));
        };
        const QString log = logOf(0);
        QVERIFY(QDir().mkpath(broken == QLatin1String("file") ? home.path() + QStringLiteral("/VORN") : folder));
        if (broken == QLatin1String("file"))
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        if (broken == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        for (int days : {29, 30})
            QFile(logOf(days)).open(QIODevice::WriteOnly);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QString::number(type)});
        QVERIFY2(p.waitForFinished(10000), "blocked on the log");
        // The day's file stays open between messages; the thirty-days-old one is looked for once a day.
        QCOMPARE(p.readAllStandardOutput(),
            type == QtFatalMsg ? QByteArray()
                               : "ran on, " + QByteArray(logged.isEmpty() ? "0" : "1") + " open, 30th day's file "
                    + (broken == QLatin1String("file") ? "gone\n" : "kept\n"));
        const QByteArray e = p.readAllStandardError();
        QVERIFY2(e.contains(err) && e.count('\n') == (err.isEmpty() ? 0 : 1), e.constData());
        QCOMPARE(e.count(QFile::encodeName(log)), broken.isEmpty() ? 0 : 1);
        if (logged.isEmpty()) {
            QVERIFY(!QFileInfo(log).isFile());
            return;
        }
        const QList<QByteArray> lines = XDesktop::readAll(log).split('\n');
        const QRegularExpression line(QStringLiteral("^Date: ") + QDate::currentDate().toString(Qt::ISODate)
            + QStringLiteral(" \\d\\d:\\d\\d:\\d\\d, Debug: a line \\(")
            + QRegularExpression::escape(QStringLiteral(__FILE__))
            + QStringLiteral(":\\d+, int main\\(int, char\\*\\*\\)\\)$"));
        QVERIFY2(
            lines.size() == (type == QtFatalMsg ? 3 : 4) && line.match(QString::fromLocal8Bit(lines[0])).hasMatch(),
            lines[0].constData());
        QVERIFY(lines[1].contains(logged) && (err.isEmpty() || lines[1] + '\n' == e));
        QVERIFY(type == QtFatalMsg || lines[2].contains(", Debug: more ("));
        QVERIFY(QFile::exists(logOf(29)) && QFile::exists(logOf(30)) == (type != QtFatalMsg));
    }
};

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0) {
        QLogger::start();
        qDebug("a line");
        qWarning("not kept");
        qt_message_output(QtMsgType(atoi(argv[2])), QMessageLogContext(__FILE__, __LINE__, Q_FUNC_INFO, "default"),
            QStringLiteral("said"));
        // The file of thirty days ago, back again, and a message more.
        const QString old = QLogger::logFile(QDate::currentDate().addDays(-30));
        QFile(old).open(QIODevice::WriteOnly);
        qDebug("more");
        const QString today = QFileInfo(QLogger::logFile(QDate::currentDate())).canonicalFilePath();
        int open = 0;
        for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::AllEntries | QDir::System))
            open += !today.isEmpty() && fd.symLinkTarget() == today;
        std::printf("ran on, %d open, 30th day's file %s\n", open, QFile::exists(old) ? "kept" : "gone");
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestQLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_qlogger.moc"
