// The virtual switch daemon keeps serving whatever its clients send, and its client (the
// agent's hidapi) treats it as a device.

#include <hidapi.h>

#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
// A request frame as the agent hands it to hidapi: the bytes and their checksum.
QByteArray report(const char *hex)
{
    QByteArray bytes = QByteArray::fromHex(hex);
    unsigned char sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return bytes + char(sum);
}

// The same as a line of the daemon's protocol.
QByteArray frame(const char *hex)
{
    return "frame " + report(hex).toHex();
}

int send(hid_device *dev, const QByteArray &bytes)
{
    return hid_send_feature_report(dev, reinterpret_cast<const unsigned char *>(bytes.constData()), bytes.size());
}

QByteArray get(hid_device *dev)
{
    unsigned char buffer[8] = {};
    const int n = hid_get_feature_report(dev, buffer, sizeof buffer);
    return n < 0 ? QByteArray() : QByteArray(reinterpret_cast<const char *>(buffer), n);
}

// A switch that says ok to one agent's hello and answers its first frame with `pieces`, 5 ms
// apart; then it waits for the agent to hang up.
struct ScriptedSwitch {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    std::thread thread;
    ScriptedSwitch(const QString &path, const QByteArrayList &pieces)
    {
        sockaddr_un address {AF_UNIX, {}};
        qstrncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0)
            thread = std::thread([this, pieces] {
                const int agent = ::accept(fd, nullptr, nullptr);
                if (readLine(agent) && ::write(agent, "ok\n", 3) == 3 && readLine(agent)) {
                    for (const QByteArray &piece : pieces) {
                        if (::write(agent, piece.constData(), size_t(piece.size())) != piece.size())
                            break;
                        QThread::msleep(5);
                    }
                }
                while (readLine(agent)) { }
                ::close(agent);
            });
    }
    ~ScriptedSwitch()
    {
        if (thread.joinable())
            thread.join();
        ::close(fd);
    }
    static bool readLine(int from)
    {
        char c = 0;
        while (::read(from, &c, 1) == 1 && c != '\n') { }
        return c == '\n';
    }
};
} // namespace

class TestVswitchd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_daemon;
    QString m_socket, m_layout;

    // One line to the daemon and its answer; empty when the daemon hung up instead.
    static QByteArray ask(QIODevice &s, const QByteArray &line)
    {
        s.write(line + '\n');
        s.waitForBytesWritten(2000);
        while (!s.canReadLine()) {
            if (!s.waitForReadyRead(2000))
                return {};
        }
        return s.readLine().trimmed();
    }
    bool connectTo(QLocalSocket &s, const QString &path = {})
    {
        s.connectToServer(path.isEmpty() ? m_socket : path);
        return s.waitForConnected(2000);
    }
    QByteArray ctl(const QByteArray &command)
    {
        QLocalSocket s;
        return connectTo(s) ? ask(s, "ctl " + command) : QByteArray();
    }
    // A daemon serving `layout` on `socket`: what it said until it served, or until it ended.
    QByteArray start(QProcess &daemon, const QString &socket, const QString &layout, const QStringList &extra = {})
    {
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start(QStringLiteral(VSWITCH_BINARY), QStringList {QStringLiteral("serve"), socket, layout} + extra);
        QByteArray said;
        while (!said.contains("virtual switch on ") && daemon.waitForReadyRead(5000))
            said += daemon.readAll();
        return said + (daemon.waitForFinished(said.contains("virtual switch on ") ? 0 : 5000) ? daemon.readAll() : "");
    }
    static void end(QProcess &daemon)
    {
        daemon.kill();
        daemon.waitForFinished(3000);
    }

private slots:
    void initTestCase()
    {
        m_layout = m_tmp.filePath(QStringLiteral("layout.json"));
        QFile layout(m_layout);
        QVERIFY(layout.open(QIODevice::WriteOnly));
        layout.write(R"({"ports": [{"port": 1}, {"port": 2}], "monitors": [{"port": 1, "row": 1, "col": 1,
            "width": 1920, "height": 1080}, {"port": 2, "row": 1, "col": 2, "width": 1920, "height": 1080}]})");
        layout.close();
        m_socket = m_tmp.filePath(QStringLiteral("switch"));
        QVERIFY(start(m_daemon, m_socket, m_layout).contains("virtual switch on"));
        qputenv("SPANLINK_VSWITCH_PORT", "1");
        QCOMPARE(hid_init(), 0);
    }
    void cleanupTestCase()
    {
        hid_exit();
        end(m_daemon);
    }
    void init() { qputenv("SPANLINK_VSWITCH_SOCKET", m_socket.toLocal8Bit()); }

    void badClientsAndControl()
    {
        for (const QByteArrayList &lines : {QByteArrayList {"what is this", "err", frame("46000000000000"), "err bye"},
                 QByteArrayList {"hello 9", "err bye"}, QByteArrayList {QByteArray(4000, 'x'), ""}}) {
            QLocalSocket s;
            QVERIFY(connectTo(s));
            for (int i = 0; i < lines.size(); i += 2)
                QVERIFY2(ask(s, lines.at(i)).startsWith(lines.at(i + 1)), lines.at(i).left(20).constData());
        }
        QLocalSocket agent;
        QVERIFY(connectTo(agent));
        QCOMPARE(ask(agent, "hello 1"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame("46000000000000")), QByteArray("reply c600000000000000"));
        QCOMPARE(ask(agent, "frame 4600000000000047"), QByteArray("reply c601000000000000")); // bad checksum
        QCOMPARE(ask(agent, "frame zz"), QByteArray("reply 8001000000000000"));
        QCOMPARE(ctl("absent 2"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame("49020102073200")).mid(6, 4), QByteArray("c901"));
        QCOMPARE(ctl("present 2"), QByteArray("ok"));
        QCOMPARE(ask(agent, frame("49020102073200")).mid(6, 4), QByteArray("c900"));
        QCOMPARE(ctl("last"), QByteArray("ok 2 1 2 7 50"));
        QVERIFY(ctl("absent 12").startsWith("err"));
        // Unplugged: the open connection is dropped and nobody can attach until replugged.
        QCOMPARE(ctl("unplug"), QByteArray("ok"));
        QTRY_COMPARE(agent.state(), QLocalSocket::UnconnectedState);
        QLocalSocket late, again;
        QVERIFY(connectTo(late));
        QVERIFY(ask(late, "hello 1").startsWith("err bye"));
        QCOMPARE(ctl("plug"), QByteArray("ok"));
        QVERIFY(connectTo(again));
        QCOMPARE(ask(again, "hello 2"), QByteArray("ok"));
    }

    // A switch that stops answering is lost, as a device would be: the late answer is never
    // taken for a later request's, and the request its agent gave up on is never carried out.
    void stalledSwitch()
    {
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray before = ctl("last"), portStatus = report("4a000000000000");
        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGSTOP), 0);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_daemon.processId()));
        const auto stopped = [&stat] {
            stat.close();
            return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") T ");
        };
        QTRY_VERIFY(stopped()); // the signal takes effect a moment later
        QElapsedTimer waited;
        waited.start();
        const int sent = send(dev, report("49020102072100")); // to port 2, 33 %
        const qint64 gaveUp = waited.elapsed();
        const bool allFail = send(dev, portStatus) == -1 && get(dev).isEmpty(); // at once, see below
        const qint64 allFailed = waited.elapsed();
        QTest::qWait(2500);
        QCOMPARE(::kill(pid_t(m_daemon.processId()), SIGCONT), 0);
        QCOMPARE(sent, -1);
        QVERIFY2(gaveUp < 1000 && allFail && allFailed - gaveUp < 100, QByteArray::number(gaveUp).constData());
        QTest::qWait(200); // the switch answers again, and the handle stays lost
        QCOMPARE(send(dev, portStatus), -1);
        hid_close(dev);
        QCOMPARE(ctl("last"), before);
        dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        QCOMPARE(send(dev, portStatus), portStatus.size());
        QCOMPARE(get(dev).left(2), QByteArray::fromHex("ca00"));
        hid_close(dev);
    }

    // The client takes an answer however the stream cuts it, and only the one answer: anything
    // after its line end, or no line end in time, loses the handle.
    void clientReadsOneAnswer_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<bool>("taken");
        const QByteArray answer = "reply ca00010202040300\n";
        QTest::newRow("whole") << QByteArrayList {answer} << true;
        QTest::newRow("in pieces") << QByteArrayList {"re", "ply ca0001020", "2040300", "\n"} << true;
        QTest::newRow("a second line") << QByteArrayList {answer + answer} << false;
        QTest::newRow("more after the end") << QByteArrayList {answer + "r"} << false;
        QTest::newRow("no line end") << QByteArrayList {answer.chopped(1)} << false;
        QTest::newRow("not a reply") << QByteArrayList {"err no\n"} << false;
    }
    void clientReadsOneAnswer()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(bool, taken);
        const QString path = m_tmp.filePath(QString::fromLatin1(QTest::currentDataTag()));
        ScriptedSwitch scripted(path, pieces);
        QVERIFY(scripted.thread.joinable());
        qputenv("SPANLINK_VSWITCH_SOCKET", path.toLocal8Bit());
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray portStatus = report("4a000000000000");
        QCOMPARE(send(dev, portStatus), taken ? portStatus.size() : -1);
        QCOMPARE(get(dev), taken ? QByteArray::fromHex("ca00010202040300") : QByteArray());
        QCOMPARE(send(dev, portStatus), -1); // no answer to a next request from this switch
        hid_close(dev);
    }

    // A frame whose agent no longer waits (its deadline has passed) is not carried out either.
    void lateFrameNotCarriedOut()
    {
        QLocalSocket agent, punctual;
        QVERIFY(connectTo(agent) && connectTo(punctual));
        QCOMPARE(ask(agent, "hello 1") + ask(punctual, "hello 1"), QByteArray("okok"));
        const QByteArray before = ctl("last"), request = frame("49020102072200");
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(ask(agent, request + ' ' + QByteArray::number(now - 1000)), QByteArray());
        QCOMPARE(ctl("last"), before);
        QCOMPARE(ask(punctual, request + ' ' + QByteArray::number(now + 60000)).left(10), QByteArray("reply c900"));
        QCOMPARE(ctl("last"), QByteArray("ok 2 1 2 7 34"));
    }

    // A layout the device could not hold is refused with one line naming the entry and field;
    // so are answer delays out of 0..100 ms.
    void badLayoutFiles_data()
    {
        QTest::addColumn<QByteArray>("layout");
        QTest::addColumn<QByteArray>("named"); // empty: served
        const QByteArray ports = R"({"ports": [{"port": 1}, {"port": 2}], )";
        const auto monitor = [&](const char *fields) {
            return ports + R"("monitors": [{"port": 1, "row": 1, "col": 1, "width": 1, "height": 1}, {"port": 2, )"
                + fields + "}]}";
        };
        QByteArray many = ports + R"("monitors": [)";
        for (int i = 0; i < 256; ++i)
            many += QByteArray(i ? "," : "") + R"({"port": 1, "row": 1, "col": 1, "width": 1, "height": 1})";
        const std::pair<QByteArray, const char *> rows[]
            = {{monitor(R"("row": 16, "col": 16, "width": 65535, "height": 1)"), ""},
                {monitor(R"("row": 1, "col": 2, "width": 1e30, "height": 1)"), "monitors[1].width: 1e+30,"},
                {monitor(R"("row": 1, "col": 2, "width": 9, "height": 0)"), "monitors[1].height: 0,"},
                {monitor(R"("row": 1, "col": 2, "width": 1.5, "height": 1)"), "monitors[1].width: 1.5,"},
                {monitor(R"("row": 1, "col": 2, "width": "a", "height": 1)"), "monitors[1].width: not a number"},
                {monitor(R"("row": 1, "col": 2, "width": 1920)"), "monitors[1].height: missing"},
                {monitor(R"("row": 17, "col": 2, "width": 1, "height": 1)"), "monitors[1].row: 17,"},
                {monitor(R"("row": 1, "col": 0, "width": 1, "height": 1)"), "monitors[1].col: 0,"},
                {R"({"ports": [{"port": 9}]})", "ports[0].port: 9,"},
                {ports + R"("currentPort": 9})", "layout.currentPort: 9,"},
                {ports + R"("mousePosition": 999})", "layout.mousePosition: 999,"},
                {ports + R"("cyclicSwitch": 2})", "layout.cyclicSwitch: 2,"},
                {ports + R"("highlight": {"duration": 16}})", "highlight.duration: 16,"},
                {ports + R"("highlight": {"on": "yes"}})", "highlight.on: not true or false"},
                {many + "]}", "monitors: 256 entries"}, {R"({"monitors": 3})", "monitors: not a list"}};
        for (const auto &[layout, named] : rows)
            QTest::newRow(*named ? named : "the device's limits") << layout << QByteArray(named);
        for (const char *delay : {"101", "-1", "x"})
            QTest::newRow(delay) << QByteArray(R"({"ports": [{"port": 1}]})") << QByteArray("--delay-ms ") + delay;
    }
    void badLayoutFiles()
    {
        QFETCH(QByteArray, layout);
        QFETCH(QByteArray, named);
        QFile file(m_tmp.filePath(QStringLiteral("bad.json")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(layout);
        file.close();
        QProcess daemon;
        const bool delay = named.startsWith("--");
        const QByteArray said = start(daemon, file.fileName() + QLatin1Char('s'), file.fileName(),
            delay ? QString::fromLatin1(named).split(QLatin1Char(' ')) : QStringList())
                                    .trimmed();
        const bool ended = daemon.state() == QProcess::NotRunning;
        end(daemon);
        QVERIFY2(ended == !named.isEmpty(), said.constData());
        if (ended && !delay)
            QVERIFY2(daemon.exitCode() > 0 && !said.contains('\n') && said.contains(": " + named), said.constData());
        if (delay)
            QCOMPARE(daemon.exitCode(), 2);
    }

    // Loopback TCP reaches the switch, and only loopback listens (the kernel's table, state 0A).
    void tcpOnLoopbackOnly()
    {
        QProcess daemon;
        const QByteArray said = start(
            daemon, m_tmp.filePath(QStringLiteral("tcp")), m_layout, {QStringLiteral("--tcp"), QStringLiteral("0")});
        const int port = said.mid(said.indexOf("tcp:127.0.0.1:") + 14).split('\n').value(0).toInt();
        QTcpSocket agent;
        agent.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(agent.waitForConnected(2000));
        QCOMPARE(ask(agent, "hello 2"), QByteArray("ok"));
        const QString hexPort = QStringLiteral(":%1 ").arg(port, 4, 16, QLatin1Char('0')).toUpper();
        QFile table(QStringLiteral("/proc/net/tcp"));
        QVERIFY(table.open(QIODevice::ReadOnly));
        const QStringList listening = QString::fromLatin1(table.readAll())
                                          .split(QLatin1Char('\n'))
                                          .filter(hexPort)
                                          .filter(QStringLiteral(" 0A "));
        QCOMPARE(listening.size(), 1);
        QVERIFY2(listening.value(0).contains(QStringLiteral("0100007F") + hexPort), qPrintable(listening.value(0)));
        end(daemon);
    }
};

QTEST_GUILESS_MAIN(TestVswitchd)
#include "tst_vswitchd.moc"
