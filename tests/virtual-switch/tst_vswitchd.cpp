// The virtual switch daemon keeps serving whatever its clients send.

#include <hidapi.h>

#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
QByteArray frame(QByteArray bytes)
{
    unsigned char sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return "frame " + bytes.toHex() + QByteArray::number(sum, 16).rightJustified(2, '0');
}

// A request frame as the agent hands it to hidapi: the bytes and their checksum.
QByteArray report(const char *hex)
{
    QByteArray bytes = QByteArray::fromHex(hex);
    unsigned char sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return bytes + char(sum);
}

int send(hid_device *dev, const QByteArray &bytes)
{
    return hid_send_feature_report(
        dev, reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()));
}

QByteArray get(hid_device *dev)
{
    unsigned char buffer[8] = {};
    const int n = hid_get_feature_report(dev, buffer, sizeof buffer);
    return n < 0 ? QByteArray() : QByteArray(reinterpret_cast<const char *>(buffer), n);
}

// A switch that says ok to one agent's hello and answers its first frame with `pieces`,
// written one by one 5 ms apart; then it waits for the agent to hang up.
class ScriptedSwitch
{
public:
    ScriptedSwitch(const QString &path, const QByteArrayList &pieces)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
        ::unlink(name.constData());
        m_listening
            = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(m_fd, 1) == 0;
        if (m_listening)
            m_thread = std::thread([this, pieces] { serve(pieces); });
    }
    ~ScriptedSwitch()
    {
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    bool listening() const { return m_listening; }

private:
    static bool readLine(int fd)
    {
        char c = 0;
        while (::read(fd, &c, 1) == 1) {
            if (c == '\n')
                return true;
        }
        return false;
    }
    void serve(const QByteArrayList &pieces)
    {
        const int agent = ::accept(m_fd, nullptr, nullptr);
        if (agent < 0)
            return;
        if (readLine(agent) && ::write(agent, "ok\n", 3) == 3 && readLine(agent)) {
            for (const QByteArray &piece : pieces) {
                if (::write(agent, piece.constData(), size_t(piece.size())) != piece.size())
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        char c;
        while (::read(agent, &c, 1) > 0) { }
        ::close(agent);
    }

    int m_fd = -1;
    bool m_listening = false;
    std::thread m_thread;
};
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

    bool stopped() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_daemon.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        return line.mid(line.lastIndexOf(')') + 2, 1) == "T";
    }

    QByteArray ctl(const QByteArray &command)
    {
        QLocalSocket s;
        return connectTo(s) ? ask(s, "ctl " + command) : QByteArray();
    }

    // The daemon with its layout file: its exit code and what it said, or -1 while it serves.
    int serve(const QByteArray &layout, QByteArray &said)
    {
        QFile file(m_tmp.path() + QStringLiteral("/bad.json"));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return -2;
        file.write(layout);
        file.close();
        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), m_tmp.path() + QStringLiteral("/bad"), file.fileName()});
        if (!daemon.waitForFinished(3000)) {
            daemon.kill();
            daemon.waitForFinished(3000);
            said = daemon.readAll();
            return -1;
        }
        said = daemon.readAll();
        return daemon.exitCode();
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

    // A switch that stops answering for a while is lost, as a device would be: the late answer
    // is never taken for a later request's, and the request its agent gave up on is never
    // carried out.
    void stalledSwitch_data()
    {
        QTest::addColumn<int>("stopMsec");
        QTest::newRow("0.5 s") << 500;
        QTest::newRow("2.5 s") << 2500;
        QTest::newRow("5 s") << 5000;
    }

    void stalledSwitch()
    {
        QFETCH(int, stopMsec);
        qputenv("SPANLINK_VSWITCH_SOCKET", m_socket.toLocal8Bit());
        qputenv("SPANLINK_VSWITCH_PORT", "1");
        QCOMPARE(hid_init(), 0);
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray before = ctl("last");
        const QByteArray portStatus = report("4a000000000000");

        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGSTOP), 0);
        QTRY_VERIFY(stopped()); // the signal takes effect a moment later
        QElapsedTimer waited;
        waited.start();
        const int sent = send(dev, report("49020102072100")); // to port 2, 33 %
        const qint64 gaveUp = waited.elapsed();
        // Every later call on that handle fails at once, while the switch is still stopped.
        const int again = send(dev, portStatus);
        const QByteArray reply = get(dev);
        const qint64 allFailed = waited.elapsed();
        QTest::qWait(qMax(0, stopMsec - int(waited.elapsed())));
        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGCONT), 0);

        QCOMPARE(sent, -1);
        QVERIFY2(gaveUp < 1000, QByteArray::number(gaveUp).constData());
        QCOMPARE(again, -1);
        QCOMPARE(reply, QByteArray());
        QVERIFY2(allFailed - gaveUp < 100, QByteArray::number(allFailed - gaveUp).constData());
        // Also once the switch answers again: the handle stays lost.
        QTest::qWait(200);
        QCOMPARE(send(dev, portStatus), -1);
        hid_close(dev);

        // The request was not carried out; a new handle gets answers to its own requests.
        QCOMPARE(ctl("last"), before);
        dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        QCOMPARE(send(dev, portStatus), portStatus.size());
        QCOMPARE(get(dev).left(2), QByteArray::fromHex("ca00"));
        QCOMPARE(send(dev, report("48000000000000")), 8);
        QCOMPARE(get(dev).left(1), QByteArray::fromHex("c8"));
        hid_close(dev);
        hid_exit();
    }

    // The agent takes an answer however the stream cuts it, and only the one answer: anything
    // after its line end, or no line end in time, loses the handle.
    void clientReadsOneAnswer_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QByteArray>("reply"); // empty: the exchange fails
        const QByteArray answer = "reply ca00010202040300\n";
        const QByteArray bytes = QByteArray::fromHex("ca00010202040300");
        QTest::newRow("whole") << QByteArrayList {answer} << bytes;
        QTest::newRow("in pieces") << QByteArrayList {"re", "ply ca0001020", "2040300", "\n"} << bytes;
        QTest::newRow("a second line with it") << QByteArrayList {answer + answer} << QByteArray();
        QTest::newRow("more after the line end") << QByteArrayList {answer + "r"} << QByteArray();
        QTest::newRow("no line end") << QByteArrayList {"reply ca00010202040300"} << QByteArray();
        QTest::newRow("not a reply") << QByteArrayList {"err no\n"} << QByteArray();
    }

    void clientReadsOneAnswer()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QByteArray, reply);
        const QString path = m_tmp.path() + QStringLiteral("/scripted");
        ScriptedSwitch scripted(path, pieces);
        QVERIFY(scripted.listening());
        qputenv("SPANLINK_VSWITCH_SOCKET", path.toLocal8Bit());
        hid_device *dev = hid_open(0, 0, nullptr);
        qputenv("SPANLINK_VSWITCH_SOCKET", m_socket.toLocal8Bit());
        QVERIFY(dev);
        const QByteArray portStatus = report("4a000000000000");
        QCOMPARE(send(dev, portStatus), reply.isEmpty() ? -1 : portStatus.size());
        QCOMPARE(get(dev), reply);
        // Lost or not, the next request gets no answer from this switch: it fails at once
        // when the handle is lost, or after the answer time otherwise.
        QCOMPARE(send(dev, portStatus), -1);
        hid_close(dev);
    }

    // A frame whose agent no longer waits (its deadline has passed) is not carried out either.
    void lateFrameNotCarriedOut()
    {
        QLocalSocket agent;
        QVERIFY(connectTo(agent));
        QCOMPARE(ask(agent, "hello 1"), QByteArray("ok"));
        const QByteArray before = ctl("last");
        const QByteArray request = frame(QByteArray::fromHex("49020102072200"));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(ask(agent, request + ' ' + QByteArray::number(now - 1000)), QByteArray());
        QTRY_COMPARE(agent.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(ctl("last"), before);

        QLocalSocket punctual;
        QVERIFY(connectTo(punctual));
        QCOMPARE(ask(punctual, "hello 1"), QByteArray("ok"));
        QCOMPARE(ask(punctual, request + ' ' + QByteArray::number(now + 60000)).left(10), QByteArray("reply c900"));
        QCOMPARE(ctl("last"), QByteArray("ok 2 1 2 7 34"));
    }

    // A layout the device could not hold is refused with one line naming the entry and field.
    void badLayoutFiles_data()
    {
        QTest::addColumn<QByteArray>("layout");
        QTest::addColumn<QByteArray>("named"); // empty: served
        const QByteArray ports = R"("ports": [{"port": 1}, {"port": 2}])";
        const auto monitor = [&](const QByteArray &fields) {
            return "{" + ports + R"(, "monitors": [{"port": 1, "row": 1, "col": 1, "width": 1920, "height": 1080},
                {)"
                + fields + "}]}";
        };
        const QByteArray good = R"("port": 2, "row": 16, "col": 16, "width": 65535, "height": 1)";
        QTest::newRow("the device's limits") << monitor(good) << QByteArray();
        QTest::newRow("width 1e30") << monitor(R"("port": 2, "row": 1, "col": 2, "width": 1e30, "height": 1080)")
                                    << QByteArray("monitors[1].width: 1e+30,");
        QTest::newRow("height 0") << monitor(R"("port": 2, "row": 1, "col": 2, "width": 1920, "height": 0)")
                                  << QByteArray("monitors[1].height: 0,");
        QTest::newRow("width 1.5") << monitor(R"("port": 2, "row": 1, "col": 2, "width": 1.5, "height": 1080)")
                                   << QByteArray("monitors[1].width: 1.5,");
        QTest::newRow("width as text") << monitor(R"("port": 2, "row": 1, "col": 2, "width": "wide", "height": 1)")
                                       << QByteArray("monitors[1].width: not a number");
        QTest::newRow("height missing") << monitor(R"("port": 2, "row": 1, "col": 2, "width": 1920)")
                                        << QByteArray("monitors[1].height: missing");
        QTest::newRow("monitor port 9") << monitor(R"("port": 9, "row": 1, "col": 2, "width": 1920, "height": 1080)")
                                        << QByteArray("monitors[1].port: 9,");
        QTest::newRow("row 17") << monitor(R"("port": 2, "row": 17, "col": 2, "width": 1920, "height": 1080)")
                                << QByteArray("monitors[1].row: 17,");
        QTest::newRow("col 0") << monitor(R"("port": 2, "row": 1, "col": 0, "width": 1920, "height": 1080)")
                               << QByteArray("monitors[1].col: 0,");
        QTest::newRow("cable port 9") << QByteArray(R"({"ports": [{"port": 9}]})") << QByteArray("ports[0].port: 9,");
        QTest::newRow("currentPort 9") << QByteArray("{" + ports + R"(, "currentPort": 9})")
                                       << QByteArray("layout.currentPort: 9,");
        QTest::newRow("mousePosition 999")
            << QByteArray("{" + ports + R"(, "mousePosition": 999})") << QByteArray("layout.mousePosition: 999,");
        QTest::newRow("cyclicSwitch 2") << QByteArray("{" + ports + R"(, "cyclicSwitch": 2})")
                                        << QByteArray("layout.cyclicSwitch: 2,");
        QTest::newRow("highlight duration 16")
            << QByteArray("{" + ports + R"(, "highlight": {"duration": 16}})") << QByteArray("highlight.duration: 16,");
        QTest::newRow("highlight on as text") << QByteArray("{" + ports + R"(, "highlight": {"on": "yes"}})")
                                              << QByteArray("highlight.on: not true or false");
        QByteArray many = "{" + ports + R"(, "monitors": [)";
        for (int i = 0; i < 256; ++i)
            many += QByteArray(i ? "," : "") + R"({"port": 1, "row": 1, "col": 1, "width": 1, "height": 1})";
        QTest::newRow("256 entries") << many + "]}" << QByteArray("monitors: 256 entries");
        QTest::newRow("monitors not a list") << QByteArray(R"({"monitors": 3})") << QByteArray("monitors: not a list");
    }

    void badLayoutFiles()
    {
        QFETCH(QByteArray, layout);
        QFETCH(QByteArray, named);
        QByteArray said;
        const int code = serve(layout, said);
        if (named.isEmpty()) {
            QVERIFY2(code == -1, said.constData());
            return;
        }
        QVERIFY2(code > 0, said.constData());
        const QList<QByteArray> lines = said.trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(": " + named), lines.first().constData());
    }

    // With an answer delay every frame is answered that long after it came, never sooner, each
    // agent gets its own answers, and a frame takes effect when it comes.
    void delayedAnswers()
    {
        constexpr int delayMsec = 40;
        const QString socket = m_tmp.path() + QStringLiteral("/delayed");
        QProcess daemon;
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), socket, m_tmp.path() + QStringLiteral("/layout.json"),
                QStringLiteral("--delay-ms"), QString::number(delayMsec)});
        QVERIFY(daemon.waitForStarted(5000));
        QByteArray said;
        QTRY_VERIFY((said += daemon.readAll()).contains("virtual switch on"));
        QVERIFY(said.contains("answers leave 40 ms after their frames"));

        QLocalSocket a, b;
        a.connectToServer(socket);
        b.connectToServer(socket);
        QVERIFY(a.waitForConnected(2000) && b.waitForConnected(2000));
        QCOMPARE(ask(a, "hello 1"), QByteArray("ok")); // not delayed: no frame
        QCOMPARE(ask(b, "hello 2"), QByteArray("ok"));

        // A hands over to port 2; B's mouse-status frame, sent before A's answer is out,
        // already reads that hand-over.
        QElapsedTimer t;
        t.start();
        a.write(frame(QByteArray::fromHex("49020102072100")) + '\n');
        QVERIFY(a.waitForBytesWritten(2000));
        const QByteArray status = ask(b, frame(QByteArray::fromHex("48000000000000")));
        const qint64 bAnswered = t.elapsed();
        while (!a.canReadLine())
            QVERIFY(a.waitForReadyRead(2000));
        const qint64 aAnswered = t.elapsed();
        QCOMPARE(a.readLine().trimmed().left(10), QByteArray("reply c900"));
        QCOMPARE(status.left(20), QByteArray("reply c8000201020721"));
        QVERIFY2(aAnswered >= delayMsec, QByteArray::number(aAnswered).constData());
        QVERIFY2(bAnswered >= delayMsec, QByteArray::number(bAnswered).constData());
        // Each agent's port status names its own cable.
        QCOMPARE(QByteArray::fromHex(ask(a, frame(QByteArray::fromHex("4a000000000000"))).mid(6)).at(2), char(1));
        QCOMPARE(QByteArray::fromHex(ask(b, frame(QByteArray::fromHex("4a000000000000"))).mid(6)).at(2), char(2));

        daemon.kill();
        daemon.waitForFinished(3000);
    }

    void delayOutOfRange()
    {
        for (const char *value : {"101", "-1", "x"}) {
            QProcess daemon;
            daemon.start(QStringLiteral(VSWITCH_BINARY),
                {QStringLiteral("serve"), m_tmp.path() + QStringLiteral("/range"),
                    m_tmp.path() + QStringLiteral("/layout.json"), QStringLiteral("--delay-ms"),
                    QString::fromLatin1(value)});
            QVERIFY(daemon.waitForFinished(5000));
            QCOMPARE(daemon.exitCode(), 2);
        }
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
