#include "QLogger.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QtTest>

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
    QCoreApplication app(argc, argv);
    TestQLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_qlogger.moc"
