// The virtual switch daemon keeps serving whatever its clients send; its client treats it as a device.

#include <hidapi.h>

#include <QLocalSocket>
#include <QtTest>

#include <csignal>

namespace
{
// One line to the daemon and its answer; empty when the daemon hung up or kept quiet instead.
QByteArray ask(QIODevice &s, const QByteArray &line)
{
    s.write(line + '\n');
    while (!s.canReadLine())
        if (!s.waitForReadyRead(2000))
            return {};
    return s.readLine().trimmed();
}
} // namespace

class TestVswitchd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_daemon;
    QLocalSocket m_silent; // connected all along and never says a word: the others are served meanwhile
    const QString m_socket = m_tmp.filePath(QStringLiteral("switch"));

    // The daemon serving `layout`: what it said until it served.
    QByteArray start(const QByteArray &layout)
    {
        QFile file(m_socket + QStringLiteral(".json"));
        if (!file.open(QIODevice::WriteOnly) || file.write(layout) != layout.size())
            return "unwritten";
        file.close();
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), m_socket, file.fileName()});
        QByteArray said;
        while (!said.contains("virtual switch on ") && m_daemon.waitForReadyRead(5000))
            said += m_daemon.readAll();
        return said;
    }
    QByteArray ctl(const QByteArray &command)
    {
        QLocalSocket s;
        s.connectToServer(m_socket);
        return s.waitForConnected(2000) ? ask(s, "ctl " + command) : QByteArray();
    }
private slots:
    void initTestCase()
    {
        QVERIFY(start(R"({"ports": [{"port": 1}, {"port": 2}], "monitors": [{"port": 1, "row": 1,
            "col": 1, "width": 1920, "height": 1080}, {"port": 2, "row": 1, "col": 2, "width": 1920, "height": 1080}]})")
                    .contains("virtual switch on"));
        m_silent.connectToServer(m_socket);
        QVERIFY(m_silent.waitForConnected(2000));
        qputenv("SPANLINK_VSWITCH_SOCKET", m_socket.toLocal8Bit());
        qputenv("SPANLINK_VSWITCH_PORT", "1");
        QCOMPARE(hid_init(), 0);
    }
    void cleanupTestCase()
    {
        hid_exit();
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }

    // "line>answer" (compared as far as given; empty: none); "ctl ..." on a connection of its own; "new" reconnects.
    void exchanges_data()
    {
        QTest::addColumn<QByteArrayList>("steps");
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QByteArray past = QByteArray::number(now - 1000), later = QByteArray::number(now + 600000),
                         hello = "hello 1>ok";
        const QByteArray beat = "frame 4600000000000046", to2 = "frame 4902010207220077"; // port 2, 34 %
        QTest::newRow("bad clients") << QByteArrayList {
            "what is this>err", beat + ">err bye", "new", "hello 9>err bye", "new", "flood"};
        QTest::newRow("checksums") << QByteArrayList {"idle", hello, beat + ">reply c600010000000000",
            "frame 4600000000000047>reply c601", "frame zz>reply 8001"};
        // The heartbeat's answer counts the agents on the asker's port: a second one there is a configuration fault.
        QTest::newRow("two agents on a port") << QByteArrayList {
            "idle", hello, "twin", beat + ">reply c60002", "new", "hello 2>ok", beat + ">reply c60001"};
        QTest::newRow("absent port") << QByteArrayList {hello, "ctl absent 2>ok", to2 + ">reply c901",
            "ctl present 2>ok", to2 + ">reply c900", "ctl last>ok 2 1 2 7 34", "ctl absent 12>err"};
        // A frame whose agent no longer waits (its deadline has passed) is not carried out.
        QTest::newRow("late frame") << QByteArrayList {hello, "frame 4902010207330088 " + past + ">",
            "ctl last>ok 2 1 2 7 34", "new", hello, to2 + ' ' + later + ">reply c900"};
        // Unplugged: the open connection is dropped and nobody can attach until replugged.
        QTest::newRow("unplug") << QByteArrayList {
            hello, "ctl unplug>ok", beat + '>', "new", "hello 1>err bye", "ctl plug>ok", "new", "hello 2>ok"};
    }
    void exchanges()
    {
        QFETCH(QByteArrayList, steps);
        auto s = std::make_unique<QLocalSocket>();
        std::unique_ptr<QLocalSocket> twin;
        s->connectToServer(m_socket);
        for (const QByteArray &step : steps) {
            if (step == "new") {
                s = std::make_unique<QLocalSocket>();
                s->connectToServer(m_socket);
            } else if (step == "idle") { // the agents of earlier rows are gone
                QTRY_VERIFY(ctl("status").contains("\"agents\":0"));
            } else if (step == "twin") { // another agent on port 1, for the rest of the row
                twin = std::make_unique<QLocalSocket>();
                twin->connectToServer(m_socket);
                QCOMPARE(ask(*twin, "hello 1"), QByteArray("ok"));
            } else if (step == "flood") { // a client that sends no line ends is dropped
                s->write(QByteArray(4000, 'x'));
                QVERIFY(!s->waitForReadyRead(2000) && s->state() == QLocalSocket::UnconnectedState);
            } else {
                const QByteArray line = step.left(step.lastIndexOf('>')), answer = step.mid(line.size() + 1);
                const QByteArray got = line.startsWith("ctl ") ? ctl(line.mid(4)) : ask(*s, line);
                QVERIFY2(answer.isEmpty() ? got.isEmpty() : got.startsWith(answer), (line + ": " + got).constData());
            }
        }
    }

    // A layout the device could not hold is refused with one line, and nothing is served.
    void refusedLayouts_data()
    {
        QTest::addColumn<QByteArray>("monitors");
        QTest::addColumn<QByteArray>("said");
        const QByteArray hd = R"({"port": 1, "row": 1, "col": 1, "width": 1920, "height": 1080})";
        QTest::newRow("two in one cell") << hd + R"(, {"port": 2, "row": 1, "col": 1, "width": 1280, "height": 1024})"
                                         << QByteArray("monitors[1]: cell 1,1 already holds monitors[0]");
        QTest::newRow("1 x 1") << hd + R"(, {"port": 2, "row": 1, "col": 2, "width": 1, "height": 1})"
                               << QByteArray("monitors[1].width: 1, not a whole number from 320 to 65535");
        QTest::newRow("too low") << QByteArray(R"({"port": 2, "row": 1, "col": 2, "width": 320, "height": 199})")
                                 << QByteArray("monitors[0].height: 199, not a whole number from 200 to 65535");
    }
    void refusedLayouts()
    {
        QFETCH(QByteArray, monitors);
        QFETCH(QByteArray, said);
        QFile file(m_tmp.filePath(QStringLiteral("refused.json")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(R"({"monitors": [)" + monitors + "]}") > 0);
        file.close();
        const QString socket = m_tmp.filePath(QStringLiteral("refused"));
        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), socket, file.fileName()});
        QVERIFY(daemon.waitForFinished(10000));
        const QByteArray out = daemon.readAll();
        QVERIFY2(daemon.exitCode() == 1 && out.contains(file.fileName().toLocal8Bit() + ": " + said)
                && !out.contains("virtual switch on"),
            out.constData());
        QVERIFY(!QFile::exists(socket));
    }

    // With an answer delay each answer goes to the connection its frame came on, in order; an agent that
    // hung up meanwhile gets none, nor does a newcomer that took its place.
    void delayedAnswers()
    {
        const QString socket = m_tmp.filePath(QStringLiteral("delayed"));
        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), socket, m_socket + QStringLiteral(".json"), QStringLiteral("--delay-ms"),
                QStringLiteral("40")});
        QVERIFY(daemon.waitForReadyRead(5000));
        QTRY_VERIFY(QFile::exists(socket));
        QLocalSocket gone, next;
        gone.connectToServer(socket);
        QCOMPARE(ask(gone, "hello 1"), QByteArray("ok"));
        gone.write("frame 4902010207220077\n"); // to port 2: "reply c900" once due
        QVERIFY(gone.waitForBytesWritten(2000));
        QTest::qWait(10); // read by the switch, not yet answered
        gone.abort();
        next.connectToServer(socket);
        QCOMPARE(ask(next, "hello 1"), QByteArray("ok"));
        next.write("frame 4600000000000046\nframe 4A0000000000004A\n");
        QList<QByteArray> answers;
        while (answers.size() < 2 && (next.canReadLine() || next.waitForReadyRead(2000)))
            answers << next.readLine().trimmed();
        QCOMPARE(answers.size(), 2);
        QVERIFY2(answers.at(0).startsWith("reply c6") && answers.at(1).startsWith("reply ca"), answers.join(' '));
        daemon.kill();
        daemon.waitForFinished(3000);
    }

    // A stalled switch is lost: its late answer is not taken for a later one, the request given up on not done.
    void stalledSwitch()
    {
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray before = ctl("last");
        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGSTOP), 0);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_daemon.processId()));
        QVERIFY(QTest::qWaitFor([&] { // stopped ("T") by its state in /proc
            stat.close();
            return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") T ");
        }));
        unsigned char reply[8] = {0xCA};
        const unsigned char to2[8] = {0x49, 2, 1, 2, 7, 0x21, 0, 0x76}, portStatus[8] = {0x4A, 0, 0, 0, 0, 0, 0, 0x4A};
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(hid_send_feature_report(dev, to2, 8), -1); // to port 2, 33 %
        QCOMPARE(hid_get_feature_report(dev, reply, 8), -1);
        const qint64 gaveUp = waited.elapsed(); // the client's limit is 200 ms: it never waits out the stall
        QTest::qWait(2500);
        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGCONT), 0);
        QTest::qWait(200); // the switch answers again, and the handle stays lost
        QCOMPARE(hid_send_feature_report(dev, portStatus, 8), -1);
        hid_close(dev);
        QVERIFY2(gaveUp < 1500, QByteArray::number(gaveUp).constData());
        QCOMPARE(ctl("last"), before);
        QVERIFY((dev = hid_open(0, 0, nullptr))); // a new handle is served again
        QCOMPARE(hid_send_feature_report(dev, portStatus, 8), 8);
        QCOMPARE(hid_get_feature_report(dev, reply, 8), 8);
        hid_close(dev);
    }
};

QTEST_GUILESS_MAIN(TestVswitchd)
#include "tst_vswitchd.moc"
