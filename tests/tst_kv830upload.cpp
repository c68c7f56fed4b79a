#include "kv830data.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // skips the spaces
}

QVariantMap entry(int serial, int port, int x, int y, int width, int height)
{
    return {{QStringLiteral("serialNum"), serial}, {QStringLiteral("portNum"), port}, {QStringLiteral("x"), x},
        {QStringLiteral("y"), y}, {QStringLiteral("w_l"), width & 0xFF}, {QStringLiteral("w_h"), width >> 8},
        {QStringLiteral("h_l"), height & 0xFF}, {QStringLiteral("h_h"), height >> 8}};
}

QVariantMap mouse(int serial, int acceleration, int speed, int position)
{
    return {{QStringLiteral("mouse_info"), serial}, {QStringLiteral("acceleration"), acceleration},
        {QStringLiteral("speed"), speed}, {QStringLiteral("position"), position}};
}

// Report IDs of the frames sent, in order.
QByteArray ids()
{
    QByteArray out;
    for (const QByteArray &f : VirtualHid::sentFrames())
        out.append(f.at(0));
    return out;
}
} // namespace

class TestKV830Upload : public QObject
{
    Q_OBJECT

    KV830Data *m_data = nullptr;

private slots:
    void init()
    {
        VirtualHid::reset();
        VirtualHid::model().monitors = {{1, 1, 0, 0, 800, 600}};
        m_data = new KV830Data;
        QVERIFY(m_data->open(1, 2));
        VirtualHid::clearSentFrames();
    }
    void cleanup()
    {
        m_data->close();
        delete m_data;
    }

    void wholeUploadReplacesTheSwitchList()
    {
        MessageLog log;
        const QList<QVariantMap> list = {entry(1, 1, 0, 0, 1920, 1080), entry(2, 1, 0, 1, 2560, 1440)};
        QVERIFY(m_data->sendAllCommand(2, list, mouse(1, 2, 3, 5)));
        QCOMPARE(ids(), hex("42 43 43 44 45"));
        QCOMPARE(VirtualHid::sentFrames().at(3), hex("44 01 02 03 05 00 00 00 00 4F"));
        // Two entries and the mouse settings: the close frame carries 3.
        QCOMPARE(VirtualHid::sentFrames().at(4), hex("45 03 00 00 00 00 00 48"));
        const QVector<SwitchModel::MonitorEntry> expected = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 2560, 1440}};
        QCOMPARE(VirtualHid::model().monitors, expected);
        QCOMPARE(VirtualHid::model().mousePosition, 5);

        QCOMPARE(log.lines().join(QLatin1Char('|')),
            QStringLiteral("sendAllCommand() 2|sendAllCommand() finish|2|"
                           "serialNum= 1|portNum= 1|xCoordinate= 0|yCoordinate= 0|w_l= 128|w_h= 7|h_l= 56|h_h= 4|"
                           "serialNum= 2|portNum= 1|xCoordinate= 0|yCoordinate= 1|w_l= 0|w_h= 10|h_l= 160|h_h= 5|"
                           "s_Num= 1|acceleration= 2|speed= 3|position= 5"));
    }

    void emptyList()
    {
        QVERIFY(m_data->sendAllCommand(0, {}, mouse(7, 0, 0, 0)));
        QCOMPARE(ids(), hex("42 44 45"));
        QCOMPARE(VirtualHid::sentFrames().last().at(1), char(1));
    }

    void missingAndWrongKeysSendZero()
    {
        QVariantMap e = entry(1, 1, 9, 9, 1920, 1080);
        e.remove(QStringLiteral("x"));
        e[QStringLiteral("y")] = QStringLiteral("not a number");
        QVariantMap m = mouse(0, 1, 1, 1);
        m.remove(QStringLiteral("mouse_info"));
        m[QStringLiteral("serialNum")] = 9; // the serial number is read only from "mouse_info"

        QVERIFY(m_data->sendAllCommand(1, {e}, m));
        QCOMPARE(VirtualHid::sentFrames().at(1), hex("43 01 01 00 00 80 07 38 04 08"));
        QCOMPARE(VirtualHid::sentFrames().at(2).at(1), char(0));
    }

    void failuresEndTheUploadWhereTheyHappen()
    {
        MessageLog log;
        VirtualHid::refuseNext(1);
        QVERIFY(!m_data->sendAllCommand(1, {entry(1, 1, 0, 0, 1, 1)}, mouse(1, 0, 0, 0)));
        QCOMPARE(ids(), hex("42"));
        QCOMPARE(log.lines(), QStringList({QStringLiteral("sendAllCommand() 1")}));

        // The switch accepts the first entry and refuses the second (port 0 does not exist),
        // so nothing is committed there.
        VirtualHid::clearSentFrames();
        const QList<QVariantMap> list
            = {entry(1, 1, 0, 0, 1920, 1080), entry(0, 1, 0, 1, 1920, 1080), entry(2, 1, 0, 2, 1920, 1080)};
        QVERIFY(!m_data->sendAllCommand(3, list, mouse(1, 0, 0, 0)));
        QCOMPARE(ids(), hex("42 43 43"));
        QCOMPARE(VirtualHid::model().monitors.size(), 1);
        QCOMPARE(VirtualHid::model().monitors.first().width, 800);

        // A failing mouse frame: no close frame follows.
        VirtualHid::clearSentFrames();
        VirtualHid::failNextSend(0x44);
        QVERIFY(!m_data->sendAllCommand(0, {}, mouse(1, 0, 0, 0)));
        QCOMPARE(ids(), hex("42 44"));
    }

    void lowBitsOnly()
    {
        QVERIFY(m_data->sendAllCommand(300, {entry(257, 1, 0, 0, 1920, 1080)}, mouse(1, 0, 0, 0)));
        QCOMPARE(VirtualHid::sentFrames().at(0), hex("42 2C 00 00 00 00 00 6E"));
        QCOMPARE(VirtualHid::sentFrames().at(1).at(1), char(1));
    }
};

QTEST_GUILESS_MAIN(TestKV830Upload)
#include "tst_kv830upload.moc"
