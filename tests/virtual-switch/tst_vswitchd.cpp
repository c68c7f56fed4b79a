// The virtual switch daemon keeps serving whatever its clients send.

#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
QByteArray frame(QByteArray bytes)
{
    unsigned char sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return "frame " + bytes.toHex() + QByteArray::number(sum, 16).rightJustified(2, '0');
}
} // namespace

class TestVswitchd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_daemon;
    QString m_socket;

    // One line to the daemon and its answer; empty when the daemon hung up instead.
    QByteArray ask(QLocalSocket &s, const QByteArray &line)
    {
        s.write(line + '\n');
        s.waitForBytesWritten(2000);
        while (!s.canReadLine()) {
            if (!s.waitForReadyRead(2000))
                return {};
        }
        return s.readLine().trimmed();
    }

    bool connectTo(QLocalSocket &s)
    {
        s.connectToServer(m_socket);
        return s.waitForConnected(2000);
    }

private slots:
    void initTestCase()
    {
        QFile layout(m_tmp.path() + QStringLiteral("/layout.json"));
        QVERIFY(layout.open(QIODevice::WriteOnly));
        layout.write(R"({ "ports": [ {"port": 1}, {"port": 2} ],
                          "monitors": [ {"port": 1, "row": 1, "col": 1, "width": 1920, "height": 1080},
                                        {"port": 2, "row": 1, "col": 2, "width": 1920, "height": 1080} ] })");
        layout.close();
        m_socket = m_tmp.path() + QStringLiteral("/switch");
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), m_socket, layout.fileName()});
        QVERIFY(m_daemon.waitForStarted(5000));
        QTRY_VERIFY(m_daemon.readAll().contains("virtual switch on") || QFile::exists(m_socket));
    }

    void cleanupTestCase()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }

    void badClientsLeaveItServing()
    {
        {
            QLocalSocket s;
            QVERIFY(connectTo(s));
            QVERIFY(ask(s, "what is this").startsWith("err"));
            QVERIFY(ask(s, frame(QByteArray::fromHex("46000000000000"))).startsWith("err bye")); // no hello
        }
        {
            QLocalSocket s;
            QVERIFY(connectTo(s));
            QVERIFY(ask(s, "hello 9").startsWith("err bye"));
        }
        {
            QLocalSocket s; // a line that never ends
            QVERIFY(connectTo(s));
            s.write(QByteArray(4000, 'x'));
            s.waitForBytesWritten(2000);
            QVERIFY(!s.waitForReadyRead(500) || s.readAll().isEmpty() || s.state() != QLocalSocket::ConnectedState);
        }
        {
            QLocalSocket s; // an agent that dies mid-way
            QVERIFY(connectTo(s));
            QCOMPARE(ask(s, "hello 1"), QByteArray("ok"));
            s.abort();
        }

        QLocalSocket agent;
        QVERIFY(connectTo(agent));
        QCOMPARE(ask(agent, "hello 1"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame(QByteArray::fromHex("46000000000000"))), QByteArray("reply c600000000000000"));
        // A frame with a wrong checksum is refused, not fatal.
        QCOMPARE(ask(agent, "frame 4600000000000047"), QByteArray("reply c601000000000000"));
        QCOMPARE(ask(agent, "frame zz"), QByteArray("reply 8001000000000000"));
    }

    void controlCommands()
    {
        QLocalSocket agent;
        QVERIFY(connectTo(agent));
        QCOMPARE(ask(agent, "hello 1"), QByteArray("ok"));

        QLocalSocket ctl;
        QVERIFY(connectTo(ctl));
        QCOMPARE(ask(ctl, "ctl absent 2"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame(QByteArray::fromHex("49020102073200"))).mid(6, 4), QByteArray("c901"));
        QCOMPARE(ask(ctl, "ctl present 2"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame(QByteArray::fromHex("49020102073200"))).mid(6, 4), QByteArray("c900"));
        QCOMPARE(ask(ctl, "ctl last"), QByteArray("ok 2 1 2 7 50"));
        QVERIFY(ask(ctl, "ctl absent 12").startsWith("err"));

        // Unplugged: the open connection is dropped and nobody can attach until replugged.
        QCOMPARE(ask(ctl, "ctl unplug"), QByteArray("ok"));
        QTRY_COMPARE(agent.state(), QLocalSocket::UnconnectedState);
        QLocalSocket late;
        QVERIFY(connectTo(late));
        QVERIFY(ask(late, "hello 1").startsWith("err bye"));
        QCOMPARE(ask(ctl, "ctl plug"), QByteArray("ok"));
        QLocalSocket again;
        QVERIFY(connectTo(again));
        QCOMPARE(ask(again, "hello 2"), QByteArray("ok"));
    }
};

QTEST_GUILESS_MAIN(TestVswitchd)
#include "tst_vswitchd.moc"
