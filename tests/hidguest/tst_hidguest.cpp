// The switch link over the real transport: hidapi's hidraw backend against vswitch-uhid, a
// kernel HID device with the switch's identifiers and report descriptor. Runs only where
// /dev/uhid exists: scripts/hid-guest.sh boots a guest kernel for it.

#include "HIDCommand/generalcommand.h"
#include "HIDCommand/hidcommand.h"
#include "kv830data.h"
#include "messagelog.h"
#include "waitfor.h"
#include "xdesktop.h"

#include <QDate>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Exchange = std::function<bool(GeneralCommand &)>;
Q_DECLARE_METATYPE(Exchange)

class TestHidGuest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_switch;
    QString m_reportLog;

    static QByteArray hex(const unsigned char *data, int n) { return QByteArray((const char *)data, n).toHex(); }
    static QStringList hidraw()
    {
        return QDir(QStringLiteral("/sys/class/hidraw")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }
    // What the device has seen since `from`, a byte offset of its log.
    QByteArray reportsSince(qint64 from) const { return XDesktop::readAll(m_reportLog).mid(from); }
    qint64 reportLogSize() const { return QFileInfo(m_reportLog).size(); }
    bool tell(const QByteArray &line) // one command to the device; whether it said ok
    {
        m_switch.write(line + '\n');
        while (!m_switch.canReadLine())
            if (!m_switch.waitForReadyRead(5000))
                return false;
        return m_switch.readLine().trimmed() == "ok";
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QStringLiteral("/dev/uhid")))
            QSKIP("no /dev/uhid here: scripts/hid-guest.sh runs this in a guest kernel");
        m_reportLog = m_tmp.filePath(QStringLiteral("reports.log"));
        m_switch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_switch.start(QStringLiteral(UHID_SWITCH), {QStringLiteral("--log"), m_reportLog});
        QVERIFY(m_switch.waitForStarted(5000) && m_switch.waitForReadyRead(10000));
        QCOMPARE(m_switch.readLine().trimmed(), QByteArray("ready"));
        QVERIFY2(waitFor([] { return !hidraw().isEmpty(); }, 10000), "no hidraw node for the uhid device");
        HidCommand other;
        QVERIFY(!other.opendevice(KV830::VendorId, KV830::ProductId + 1)); // opened by its identifiers only
    }

    void cleanupTestCase()
    {
        if (m_switch.state() == QProcess::Running && tell("quit"))
            m_switch.waitForFinished(5000);
    }

    // Commands as the kernel carried them: report IDs and lengths both ways (answers of 8 and 11,
    // requests of 8 and 10 bytes).
    void everyCommandCrossesTheKernel_data()
    {
        QTest::addColumn<Exchange>("run");
        QTest::addColumn<QByteArray>("reports");
        static const unsigned char entry[8] = {1, 1, 1, 1, 0x80, 0x07, 0x38, 0x04}, mouse[4] = {2, 0, 0, 4},
                                   toPort2[5] = {2, 1, 2, 7, 50};
        QTest::newRow("heartbeat") << Exchange(&GeneralCommand::heartBeat) << QByteArray("set 46 8\nget c6 8\n");
        QTest::newRow("monitor entry") << Exchange([](GeneralCommand &c) {
            return c.getOneListOfPortNum(2) && hex(c.m_portListData, 8) == "0201010280073804";
        }) << QByteArray("set 47 8\nget c7 11\n");
        QTest::newRow("upload") << Exchange([](GeneralCommand &c) {
            return c.sendListAmountOpen(2) && c.sendOneListOfPortNum(entry, 8) && c.sendOneListOfMouseData(mouse, 4)
                && c.sendListAmountClose();
        }) << QByteArray("set 42 8\nget c2 8\nset 43 10\nget c3 8\nset 44 10\nget c4 8\nset 45 8\nget c5 8\n");
        QTest::newRow("switch") << Exchange([](GeneralCommand &c) {
            return c.sendMouseStatus(toPort2, 5) && c.getMouseStatus() && hex(c.m_mouseStatusData, 5) == "0201020732";
        }) << QByteArray("set 49 8\nget c9 8\nset 48 8\nget c8 8\n");
    }

    void everyCommandCrossesTheKernel()
    {
        QFETCH(Exchange, run);
        QFETCH(QByteArray, reports);
        GeneralCommand command;
        QVERIFY(command.open(KV830::VendorId, KV830::ProductId));
        const qint64 from = reportLogSize();
        QVERIFY(run(command));
        waitFor([&] { return reportsSince(from).size() >= reports.size(); }, 2000); // logged after it answers
        QCOMPARE(reportsSince(from), reports);
        command.close();
    }

    // A short answer through hidraw still counts as read, and says so; what did not come stays zero.
    void shortRead()
    {
        HidCommand hid;
        QVERIFY(hid.opendevice(KV830::VendorId, KV830::ProductId));
        const unsigned char portStatus[8] = {0x4A, 0, 0, 0, 0, 0, 0, 0x4A};
        unsigned char full[8] = {0xCA}, shortReply[8] = {0xCA};
        QVERIFY(hid.sendRequest(portStatus, 8) && hid.getReply(full, 8) && full[6] != 0); // ports present
        QVERIFY(tell("short ca"));
        MessageLog log;
        QVERIFY(hid.sendRequest(portStatus, 8) && hid.getReply(shortReply, 8));
        QVERIFY2(log.contains(QStringLiteral("short feature report: 4 of 8 bytes")),
            qPrintable(log.lines().join(QLatin1Char('|'))));
        QCOMPARE(hex(shortReply, 8), hex(full, 4) + "00000000");
        QVERIFY(hid.closedevice());
    }

    // The agent a user runs, headless: heartbeats, then the cable pulled and pushed back.
    void agentFollowsUnplugAndReplug()
    {
        const QString data = m_tmp.filePath(QStringLiteral("agent"));
        QProcess agent; // ended by its destructor
        agent.setEnvironment(QProcess::systemEnvironment()
            << QStringLiteral("QT_QPA_PLATFORM=offscreen") << QStringLiteral("XDG_DATA_HOME=") + data
            << QStringLiteral("XDG_RUNTIME_DIR=") + m_tmp.path());
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(QStringLiteral(SPANLINK_BINARY), QStringList());
        const auto log = [&] {
            return XDesktop::readAll(
                data + QStringLiteral("/VORN/Spanlink/log%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)));
        };
        const auto heartbeatsSince = [&](qint64 from) {
            return reportsSince(from).count("get c6 8\n");
        };
        const QByteArray lost = "Unable to send a feature report.";
        QVERIFY2(waitFor([&] { return log().contains("hid_open() ok"); }, 30000), log().constData());
        qint64 mark = reportLogSize();
        QVERIFY2(waitFor([&] { return heartbeatsSince(mark) >= 2; }, 10000), "no heartbeats accepted");

        const QDir fds(QStringLiteral("/proc/%1/fd").arg(agent.processId()));
        const auto openFiles = [&] {
            return fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
        };
        int fdsAfterFirst = 0;
        for (int cycle = 1; cycle <= 20; ++cycle) {
            const int lostBefore = log().count(lost);
            QVERIFY(tell("unplug"));
            QVERIFY2(waitFor([&] { return log().count(lost) > lostBefore; }, 8000), "the unplug is not noticed");
            mark = reportLogSize();
            const int logMark = log().size();
            QVERIFY(tell("plug"));
            QVERIFY2(waitFor([&] { return heartbeatsSince(mark) >= 1; }, 20000), "the agent did not come back");
            // Counted in heartbeats, not milliseconds (the guest is emulated): the heartbeat that
            // reopens the switch is the last one to fail, and the next one is accepted.
            const QByteArray since = log().mid(logMark);
            const int reopened = since.indexOf("hid_open() ok");
            QVERIFY2(reopened >= 0 && since.count("hid_open() ok") == 1 && !since.mid(reopened).contains(lost)
                    && !since.mid(reopened).contains("please open device first !"),
                since.constData());
            if (cycle == 1)
                fdsAfterFirst = openFiles();
        }
        QCOMPARE(openFiles(), fdsAfterFirst);
    }

    // The packaged rule gives the logged-in user the switch's hidraw node.
    void udevRuleMatches()
    {
        const QString rule = QStringLiteral("/run/udev/rules.d/70-spanlink.rules");
        QVERIFY(QDir().mkpath(QStringLiteral("/run/udev/rules.d")));
        QFile::remove(rule);
        QVERIFY(QFile::copy(QStringLiteral(UDEV_RULE), rule));
        QCOMPARE(hidraw().size(), 1);
        QProcess udevadm;
        udevadm.setProcessChannelMode(QProcess::MergedChannels);
        udevadm.start(QStringLiteral("udevadm"),
            {QStringLiteral("test"), QStringLiteral("/sys/class/hidraw/") + hidraw().first()});
        QVERIFY(udevadm.waitForFinished(60000));
        const QByteArray out = udevadm.readAll(); // the device's properties close the output
        QVERIFY2(QRegularExpression(QStringLiteral("^TAGS=.*:uaccess:"), QRegularExpression::MultilineOption)
                     .match(QString::fromLocal8Bit(out))
                     .hasMatch(),
            out.right(2000).constData());
    }
};

QTEST_GUILESS_MAIN(TestHidGuest)
#include "tst_hidguest.moc"
