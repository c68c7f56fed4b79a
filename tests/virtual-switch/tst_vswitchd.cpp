// The virtual switch daemon keeps serving whatever its clients send.

#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
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
    quint16 m_tcpPort = 0;

    // One line to the daemon and its answer; empty when the daemon hung up instead.
    QByteArray ask(QIODevice &s, const QByteArray &line)
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
        m_daemon.start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), m_socket, layout.fileName(), QStringLiteral("--tcp"), QStringLiteral("0")});
        QVERIFY(m_daemon.waitForStarted(5000));
        QByteArray said;
        QTRY_VERIFY((said += m_daemon.readAll()).contains("virtual switch on " + m_socket.toLatin1()));
        m_tcpPort = QRegularExpression(QStringLiteral("tcp:127.0.0.1:(\\d+)"))
                        .match(QString::fromLatin1(said))
                        .captured(1)
                        .toUShort();
        QVERIFY(m_tcpPort != 0);
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

    // Loopback TCP reaches the same switch as the local socket, and the cable pulls it too.
    void tcpAgents()
    {
        QTcpSocket agent;
        agent.connectToHost(QHostAddress::LocalHost, m_tcpPort);
        QVERIFY(agent.waitForConnected(2000));
        QCOMPARE(ask(agent, "hello 2"), QByteArray("ok"));
        QLocalSocket ctl;
        QVERIFY(connectTo(ctl));
        QCOMPARE(ask(ctl, "ctl absent 1"), QByteArray("ok"));
        // Port status: this cable's port, and port 1 gone from the mask.
        const QByteArray status = QByteArray::fromHex(ask(agent, frame(QByteArray::fromHex("4a000000000000"))).mid(6));
        QCOMPARE(status.size(), 8);
        QCOMPARE(status.at(2), char(2));
        QCOMPARE(status.at(6), char(0x02));
        QCOMPARE(ask(ctl, "ctl present 1"), QByteArray("ok"));
        QCOMPARE(ask(ctl, "ctl unplug"), QByteArray("ok"));
        QTRY_COMPARE(agent.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(ask(ctl, "ctl plug"), QByteArray("ok"));

        // Nowhere but loopback: the kernel's table of listening sockets (state 0A) shows where.
        QFile table(QStringLiteral("/proc/net/tcp"));
        QVERIFY(table.open(QIODevice::ReadOnly));
        const QByteArray port = QByteArray::number(m_tcpPort, 16).toUpper().rightJustified(4, '0');
        QByteArrayList listening;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 3 && f.at(1).endsWith(":" + port) && f.at(3) == "0A")
                listening << f.at(1);
        }
        QCOMPARE(listening, QByteArrayList {"0100007F:" + port});
    }
};

QTEST_GUILESS_MAIN(TestVswitchd)
#include "tst_vswitchd.moc"
