// hidapi's hidraw backend and the packaged udev rule against vswitch-uhid, a kernel HID device with
// the switch's identifiers and report descriptor. Needs /dev/uhid: scripts/hid-guest.sh boots a guest.

#include "HIDCommand/generalcommand.h"
#include "kv830data.h"
#include "messagelog.h"
#include "waitfor.h"
#include "xdesktop.h"

#include <QtTest>

#include <functional>

using Exchange = std::function<bool(GeneralCommand &)>;
Q_DECLARE_METATYPE(Exchange)

static const auto qs = [](const char *s) {
    return QString::fromUtf8(s);
};
static const auto asHex = [](const unsigned char *data, int n) {
    return QByteArray((const char *)data, n).toHex();
};

class TestHidGuest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_switch;
    const QString m_reports = m_tmp.filePath(qs("reports.log")); // "set|get <id> <bytes>", as the kernel carried them

    QByteArray reportsSince(qint64 from) const { return XDesktop::readAll(m_reports).mid(from); }
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
        if (!QFile::exists(qs("/dev/uhid")))
            QSKIP("no /dev/uhid here: scripts/hid-guest.sh runs this in a guest kernel");
        m_switch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_switch.start(qs(UHID_SWITCH), {qs("--log"), m_reports});
        QVERIFY(m_switch.waitForReadyRead(10000) && m_switch.readLine().trimmed() == "ready");
        QVERIFY2(waitFor([] { return !QDir(qs("/sys/class/hidraw")).isEmpty(); }, 10000), "no hidraw node");
    }

    // Each kind of exchange the agent makes: report IDs and lengths both ways.
    void everyCommandCrossesTheKernel_data()
    {
        QTest::addColumn<Exchange>("run");
        QTest::addColumn<QByteArray>("reports");
        static const unsigned char entry[8] = {1, 1, 1, 1, 0x80, 7, 0x38, 4}, mouse[4] = {2, 0, 0, 4},
                                   to2[5] = {2, 1, 2, 7, 50};
        QTest::newRow("heartbeat") << Exchange(&GeneralCommand::heartBeat) << QByteArray("set 46 8\nget c6 8\n");
        QTest::newRow("monitor entry") << Exchange([](GeneralCommand &c) {
            return c.getOneListOfPortNum(2) && asHex(c.m_portListData, 8) == "0201010280073804";
        }) << QByteArray("set 47 8\nget c7 11\n");
        QTest::newRow("upload") << Exchange([](GeneralCommand &c) {
            return c.sendListAmountOpen(2) && c.sendOneListOfPortNum(entry, 8) && c.sendOneListOfMouseData(mouse, 4)
                && c.sendListAmountClose();
        }) << QByteArray("set 42 8\nget c2 8\nset 43 10\nget c3 8\nset 44 10\nget c4 8\nset 45 8\nget c5 8\n");
        QTest::newRow("switch") << Exchange([](GeneralCommand &c) {
            return c.sendMouseStatus(to2, 5) && c.getMouseStatus() && asHex(c.m_mouseStatusData, 5) == "0201020732";
        }) << QByteArray("set 49 8\nget c9 8\nset 48 8\nget c8 8\n");
        // A short answer still counts as read and says so; what did not come stays zero.
        QTest::newRow("short read") << Exchange([this](GeneralCommand &c) {
            MessageLog log;
            const bool full = c.getPortStatus() && c.m_portStatusData[4] != 0 && tell("short ca"); // ports present
            const QByteArray before = asHex(c.m_portStatusData, 5);
            return full && c.getPortStatus() && log.contains(qs("short feature report: 4 of 8 bytes"))
                && asHex(c.m_portStatusData, 5) == before.left(4) + "000000";
        }) << QByteArray("set 4a 8\nget ca 8\nset 4a 8\nget ca 4\n");
    }
    void everyCommandCrossesTheKernel()
    {
        QFETCH(Exchange, run);
        QFETCH(QByteArray, reports);
        GeneralCommand command;
        const qint64 from = QFileInfo(m_reports).size();
        QVERIFY(command.open(KV830::VendorId, KV830::ProductId) && run(command));
        waitFor([&] { return reportsSince(from).size() >= reports.size(); }, 2000); // logged after it answers
        QCOMPARE(reportsSince(from), reports);
        command.close();
    }

    // Each replug counted in heartbeats (the guest is emulated): one reopens, the next is accepted; no fd leaks.
    void agentFollowsUnplugAndReplug()
    {
        QProcess agent; // ended by its destructor
        agent.setEnvironment(QProcess::systemEnvironment() << qs("XDG_DATA_HOME=") + m_tmp.path());
        agent.start(qs(SPANLINK_BINARY), QStringList());
        const QString file
            = m_tmp.filePath(qs("VORN/Spanlink/log%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)));
        const QByteArray lost = "Unable to send a feature report.", opened = "hid_open() ok";
        QVERIFY2(waitFor([&] { return XDesktop::readAll(file).contains(opened); }, 30000), "the agent opens no switch");
        const QDir fds(qs("/proc/%1/fd").arg(agent.processId()));
        for (int cycle = 0, files = 0; cycle < 20; ++cycle) {
            const int mark = XDesktop::readAll(file).size();
            QVERIFY(tell("unplug"));
            QVERIFY2(waitFor([&] { return XDesktop::readAll(file).mid(mark).contains(lost); }, 8000), "unplug unseen");
            const qint64 reports = QFileInfo(m_reports).size();
            QVERIFY(tell("plug"));
            QVERIFY2(waitFor([&] { return reportsSince(reports).contains("get c6 8\n"); }, 20000), "no heartbeat back");
            const QByteArray since = XDesktop::readAll(file).mid(mark), after = since.mid(since.indexOf(opened));
            QVERIFY2(since.count(opened) == 1 && !after.contains(lost) && !after.contains("please open device first !"),
                since.constData());
            const int open = fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
            QVERIFY(std::exchange(files, open) == open || cycle == 0);
        }
    }

    void udevRuleGivesTheUserTheNode() // the switch's one hidraw node, renumbered by the replugs
    {
        QCOMPARE(QProcess::execute(qs("sh"),
                     {qs("-c"),
                         qs("install -D " UDEV_RULE " /run/udev/rules.d/70-spanlink.rules && "
                            "set -- /sys/class/hidraw/* && [ $# -eq 1 ] && udevadm test $1 2>&1 | grep "
                            "'^TAGS=.*:uaccess:'")}),
            0);
    }
};

QTEST_GUILESS_MAIN(TestHidGuest)
#include "tst_hidguest.moc"
