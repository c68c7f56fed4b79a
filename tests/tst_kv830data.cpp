#include "kv830data.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
// "key=value ..." in key order; every value must be an int, anything else shows as "?".
QString ints(const QVariantMap &map)
{
    QStringList out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << it.key() + QLatin1Char('=')
                + (it->userType() == QMetaType::Int ? QString::number(it->toInt()) : QStringLiteral("?"));
    return out.join(QLatin1Char(' '));
}
QVariantMap entry(int serial, int row, int width, int height)
{
    return {{QStringLiteral("serialNum"), serial}, {QStringLiteral("portNum"), 1}, {QStringLiteral("x"), 0},
        {QStringLiteral("y"), row}, {QStringLiteral("w_l"), width & 0xFF}, {QStringLiteral("w_h"), width >> 8},
        {QStringLiteral("h_l"), height & 0xFF}, {QStringLiteral("h_h"), height >> 8}};
}
} // namespace

class TestKV830Data : public QObject
{
    Q_OBJECT

private slots:
    void init() { VirtualHid::reset(); }

    // "status/signals so far" with the switch coming and going.
    void heartBeatStateMachine()
    {
        KV830Data data;
        QSignalSpy spy(&data, &KV830Data::devStatusChanged);
        const auto state = [&] {
            return QStringLiteral("%1/%2").arg(data.status()).arg(spy.count());
        };
        QCOMPARE(state(), QStringLiteral("0/0"));
        QVERIFY(data.open(KV830::VendorId, KV830::ProductId)); // open sets the status without a signal
        VirtualHid::unplug();
        QVERIFY(!data.heartBeat() && !data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/1"));
        VirtualHid::plug(); // the beat whose reopen finds the switch answering counts at once
        QVERIFY(data.heartBeat() && data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/2"));
        // A refused beat: lost and found again in the same beat. The signals come after the
        // exchanges have released the command lock.
        VirtualHid::refuseNext(1);
        int queried = 0;
        const auto query
            = connect(&data, &KV830Data::devStatusChanged, &data, [&] { queried += bool(data.getPortStatus()); });
        QVERIFY(data.heartBeat());
        QVERIFY(state() == QLatin1String("1/4") && queried == 2);
        disconnect(query);
        VirtualHid::refuseNext(2); // the reopened switch does not answer: lost until a later beat
        QVERIFY(!data.heartBeat() && state() == QLatin1String("0/5") && data.heartBeat());
    }

    // The switch's count of agents on this computer's port: another agent there is logged once.
    void sharedPort()
    {
        MessageLog log;
        const QString said = QStringLiteral(
            "The switch has 2 agents on this computer's port: another computer's agent is configured for it");
        KV830Data ours, other;
        QSignalSpy changed(&ours, &KV830Data::agentsOnPortChanged);
        QVERIFY(ours.open(1, 2) && ours.heartBeat() && ours.m_agentsOnPort == 1);
        QVERIFY(other.open(1, 2) && ours.heartBeat() && ours.heartBeat());
        QVERIFY(ours.m_agentsOnPort == 2 && log.count(said) == 1 && changed.count() == 2);
        other.close(); // gone, and back on another port
        VirtualHid::setAttachPort(2);
        QVERIFY(ours.heartBeat() && other.open(1, 2) && ours.heartBeat());
        QVERIFY(ours.m_agentsOnPort == 1 && log.count(said) == 1 && changed.count() == 3);
    }

    void queriesDecode()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{2, 3, 4, 5, 1920, 1080}, {8, 1, 255, 255, 65535, 0}}; // no third entry
        sw.mousePosition = 4;
        sw.mouseStatus = {2, 1, 3, 7, 50};
        VirtualHid::setAttachPort(3);
        KV830Data data;
        QVERIFY(data.open(1, 2));
        const std::optional<KV830::PortStatus> ports = data.getPortStatus();
        QVERIFY(ports && ports->apPort == 3 && ports->listNum == 2 && ports->curPort == 1);
        QVERIFY(ports->mousePosition == 4 && ports->portMask == data.m_portMask && ports->portMask != 0);
        QCOMPARE(ints(data.m_portStatus), QStringLiteral("apportNum=3 curportNum=1 listNum=2 mouseposition=4"));
        QCOMPARE(data.getOneListOfPortNum(2), (std::optional<KV830::MonitorEntry>({8, 1, 255, 255, 65535, 0})));
        QCOMPARE(data.getOneListOfPortNum(1), (std::optional<KV830::MonitorEntry>({2, 3, 4, 5, 1920, 1080})));
        QCOMPARE(
            ints(data.m_portList), QStringLiteral("col=5 height=1080 monitorIndexNum=3 portNum=2 row=4 width=1920"));
        QVERIFY(!data.getOneListOfPortNum(3));
        const std::optional<KV830::MouseStatus> mouse = data.getMouseStatus();
        QVERIFY(mouse && mouse->curPort == 2 && mouse->row == 1 && mouse->col == 3);
        QVERIFY(mouse->direction == 7 && mouse->percent == 50);
        QCOMPARE(ints(data.m_mouseStatus), QStringLiteral("curportNum=2 direction=7 percent=50 portCol=3 portRow=1"));
        VirtualHid::failNextRead(); // no answer: nothing returned, the map keeps the last answer
        QVERIFY(!data.getMouseStatus());
        QCOMPARE(ints(data.m_mouseStatus), QStringLiteral("curportNum=2 direction=7 percent=50 portCol=3 portRow=1"));
    }

    void upload()
    {
        KV830Data data;
        const QVariantMap mouse = {{QStringLiteral("mouse_info"), 1}, {QStringLiteral("acceleration"), 2},
            {QStringLiteral("speed"), 3}, {QStringLiteral("position"), 5}};
        QVERIFY(data.open(1, 2));
        VirtualHid::clearSentFrames();
        QVERIFY(data.sendAllCommand(2, {entry(1, 0, 1920, 1080), entry(2, 1, 2560, 1440)}, mouse));
        QCOMPARE(VirtualHid::sentFrames().size(), 5);
        QCOMPARE(VirtualHid::sentFrames().at(3), QByteArray::fromHex("44 01 02 03 05 00 00 00 00 4F"));
        const QVector<SwitchModel::MonitorEntry> expected = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 2560, 1440}};
        QCOMPARE(VirtualHid::model().monitors, expected);
    }

    // The typed upload: the entries and the mouse settings as sendAllCommand() sends them, and
    // how far it got: done, or the frame the switch refused or left unanswered, nothing after it.
    void uploadResult_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("reportId");
        QTest::addColumn<int>("skip");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("failedFrame");
        const int done = KV830::UploadResult::Done, refused = KV830::UploadResult::Refused,
                  silent = KV830::UploadResult::Silent;
        QTest::newRow("done") << "" << 0 << 0 << done << 0;
        QTest::newRow("opening refused") << "refuse" << 0x42 << 0 << refused << 1;
        QTest::newRow("opening unanswered") << "read" << 0 << 0 << silent << 1;
        QTest::newRow("first entry refused") << "refuse" << 0x43 << 0 << refused << 2;
        QTest::newRow("second entry refused") << "refuse" << 0x43 << 1 << refused << 3;
        QTest::newRow("second entry not sent") << "send" << 0x43 << 1 << silent << 3;
        QTest::newRow("mouse settings refused") << "refuse" << 0x44 << 0 << refused << 4;
        QTest::newRow("mouse settings not sent") << "send" << 0x44 << 0 << silent << 4;
        QTest::newRow("closing refused") << "refuse" << 0x45 << 0 << refused << 5;
        QTest::newRow("closing not sent") << "send" << 0x45 << 0 << silent << 5;
    }
    void uploadResult()
    {
        QFETCH(QString, fault);
        QFETCH(int, reportId);
        QFETCH(int, skip);
        QFETCH(int, outcome);
        QFETCH(int, failedFrame);
        KV830Data data;
        QVERIFY(data.open(1, 2));
        VirtualHid::clearSentFrames();
        if (fault == QLatin1String("refuse"))
            VirtualHid::refuseNextWithId(reportId, skip);
        else if (fault == QLatin1String("send"))
            VirtualHid::failNextSend(reportId, skip);
        else if (fault == QLatin1String("read"))
            VirtualHid::failNextRead();
        QList<int> announced;
        const KV830::UploadResult r = data.upload({{2, 1, 3, 4, 1920, 1080}, {1, 2, 3, 5, 2560, 1440}}, {2, 3, 5},
            [&](int frame, int frames) { announced << frame << frames; });
        QCOMPARE(int(r.outcome), outcome);
        QCOMPARE(r.failedFrame, failedFrame);
        QCOMPARE(r.frames, 5);
        const int last = failedFrame ? failedFrame : 5;
        QList<int> expected;
        for (int frame = 1; frame <= last; ++frame)
            expected << frame << 5;
        QCOMPARE(announced, expected); // each frame before it goes, none after the one that failed
        const QList<QByteArray> sent = VirtualHid::sentFrames();
        QCOMPARE(sent.size(), last);
        // Port first, then the monitor's number within it; widths split into low and high byte.
        const QList<QByteArray> frames = {QByteArray::fromHex("42 03"),
            QByteArray::fromHex("43 02 01 03 04 80 07 38 04"), QByteArray::fromHex("43 01 02 03 05 00 0A A0 05"),
            QByteArray::fromHex("44 03 02 03 05 00 00 00 00"), QByteArray::fromHex("45 03")};
        for (int i = 0; i < last; ++i)
            QVERIFY2(sent.at(i).startsWith(frames.at(i)), sent.at(i).toHex(' ').constData());
        if (r.outcome == KV830::UploadResult::Done) {
            const QVector<SwitchModel::MonitorEntry> stored = {{2, 1, 3, 4, 1920, 1080}, {1, 2, 3, 5, 2560, 1440}};
            QCOMPARE(VirtualHid::model().monitors, stored);
            QCOMPARE(VirtualHid::model().mousePosition, 5);
        }
    }
};

QTEST_GUILESS_MAIN(TestKV830Data)
#include "tst_kv830data.moc"
