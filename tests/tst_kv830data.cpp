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
        QVERIFY(data.open(1, 2) && data.getPortStatus() && data.getOneListOfPortNum(1));
        QCOMPARE(ints(data.m_portStatus), QStringLiteral("apportNum=3 curportNum=1 listNum=2 mouseposition=4"));
        QCOMPARE(
            ints(data.m_portList), QStringLiteral("col=5 height=1080 monitorIndexNum=3 portNum=2 row=4 width=1920"));
        QVERIFY(!data.getOneListOfPortNum(3) && data.getMouseStatus());
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
};

QTEST_GUILESS_MAIN(TestKV830Data)
#include "tst_kv830data.moc"
