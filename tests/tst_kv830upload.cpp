#include "kv830data.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
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
        const QVariantMap settings = mouse(1, 2, 3, 5);
        const QList<QVariantMap> listBefore = list;

        QVERIFY(m_data->sendAllCommand(2, list, settings));
        QCOMPARE(ids(), hex("42 43 43 44 45"));
        const QList<QByteArray> frames = VirtualHid::sentFrames();
        QCOMPARE(frames.at(1), hex("43 01 01 00 00 80 07 38 04 08"));
        QCOMPARE(frames.at(3), hex("44 01 02 03 05 00 00 00 00 4F"));
        // Two entries and the mouse settings: the close frame carries 3.
        QCOMPARE(frames.at(4), hex("45 03 00 00 00 00 00 48"));
        QCOMPARE(list, listBefore);

        const QVector<SwitchModel::MonitorEntry> expected = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 2560, 1440}};
        QCOMPARE(VirtualHid::model().monitors, expected);
        QCOMPARE(VirtualHid::model().mousePosition, 5);

        const QStringList expectedLog = {
            QStringLiteral("sendAllCommand() 2"),
            QStringLiteral("sendAllCommand() finish"),
            QStringLiteral("2"),
            QStringLiteral("serialNum= 1"),
            QStringLiteral("portNum= 1"),
            QStringLiteral("xCoordinate= 0"),
            QStringLiteral("yCoordinate= 0"),
            QStringLiteral("w_l= 128"),
            QStringLiteral("w_h= 7"),
            QStringLiteral("h_l= 56"),
            QStringLiteral("h_h= 4"),
        };
        QCOMPARE(log.lines().mid(0, expectedLog.size()), expectedLog);
        QCOMPARE(log.lines().mid(log.lines().size() - 4),
            QStringList({QStringLiteral("s_Num= 1"), QStringLiteral("acceleration= 2"), QStringLiteral("speed= 3"),
                QStringLiteral("position= 5")}));
    }

    void emptyList()
    {
        MessageLog log;
        QVERIFY(m_data->sendAllCommand(0, {}, mouse(7, 0, 0, 0)));
        QCOMPARE(ids(), hex("42 44 45"));
        QCOMPARE(VirtualHid::sentFrames().last().at(1), char(1));
        QCOMPARE(log.lines().mid(0, 3),
            QStringList({QStringLiteral("sendAllCommand() 0"), QStringLiteral("sendAllCommand() finish"),
                QStringLiteral("0")}));
    }

    void missingAndWrongKeysSendZero()
    {
        MessageLog log;
        QVariantMap e = entry(1, 1, 9, 9, 1920, 1080);
        e.remove(QStringLiteral("x"));
        e[QStringLiteral("y")] = QStringLiteral("not a number");
        QVariantMap m = mouse(0, 1, 1, 1);
        m.remove(QStringLiteral("mouse_info"));
        m[QStringLiteral("serialNum")] = 9; // the serial number is read only from "mouse_info"

        QVERIFY(m_data->sendAllCommand(1, {e}, m));
        const QList<QByteArray> frames = VirtualHid::sentFrames();
        QCOMPARE(frames.at(1).at(3), char(0));
        QCOMPARE(frames.at(1).at(4), char(0));
        QCOMPARE(frames.at(2).at(1), char(0));
        QVERIFY(log.contains(QStringLiteral("xCoordinate= 0")));
        QVERIFY(log.contains(QStringLiteral("s_Num= 0")));
    }

    void refusedEntryStopsTheUpload()
    {
        // The switch accepts the first entry and refuses the second (port 0 does not exist).
        const QList<QVariantMap> list
            = {entry(1, 1, 0, 0, 1920, 1080), entry(0, 1, 0, 1, 1920, 1080), entry(2, 1, 0, 2, 1920, 1080)};
        QVERIFY(!m_data->sendAllCommand(3, list, mouse(1, 0, 0, 0)));
        QCOMPARE(ids(), hex("42 43 43"));
        // Nothing was committed at the switch.
        QCOMPARE(VirtualHid::model().monitors.size(), 1);
        QCOMPARE(VirtualHid::model().monitors.first().width, 800);

        // The next upload starts afresh and counts from 0 again.
        VirtualHid::clearSentFrames();
        QVERIFY(m_data->sendAllCommand(1, {entry(1, 1, 0, 0, 1920, 1080)}, mouse(1, 0, 0, 0)));
        QCOMPARE(VirtualHid::sentFrames().last(), hex("45 02 00 00 00 00 00 47"));
    }

    void failuresEndTheUploadWhereTheyHappen()
    {
        MessageLog log;
        VirtualHid::refuseNext(1);
        QVERIFY(!m_data->sendAllCommand(1, {entry(1, 1, 0, 0, 1, 1)}, mouse(1, 0, 0, 0)));
        QCOMPARE(ids(), hex("42"));
        QCOMPARE(log.lines(), QStringList({QStringLiteral("sendAllCommand() 1")}));

        VirtualHid::clearSentFrames();
        // A failing mouse frame: no close frame follows.
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

    void singleFrameSlotsByName()
    {
        bool ok = false;
        QVERIFY(QMetaObject::invokeMethod(m_data, "sendListAmountOpen", Q_RETURN_ARG(bool, ok), Q_ARG(int, 1)));
        QVERIFY(ok);
        QVERIFY(QMetaObject::invokeMethod(m_data, "sendOneListOfPortNum", Q_RETURN_ARG(bool, ok), Q_ARG(int, 3),
            Q_ARG(int, 1), Q_ARG(int, 2), Q_ARG(int, 2), Q_ARG(int, 0x80), Q_ARG(int, 0x07), Q_ARG(int, 0x38),
            Q_ARG(int, 0x04)));
        QVERIFY(ok);
        QVERIFY(QMetaObject::invokeMethod(m_data, "sendListAmountClose", Q_RETURN_ARG(bool, ok)));
        QVERIFY(ok);
        const QVector<SwitchModel::MonitorEntry> expected = {{3, 1, 2, 2, 1920, 1080}};
        QCOMPARE(VirtualHid::model().monitors, expected);

        const QList<QVariantMap> list = {entry(1, 1, 0, 0, 1024, 768)};
        QVERIFY(QMetaObject::invokeMethod(m_data, "sendAllCommand", Q_RETURN_ARG(bool, ok), Q_ARG(int, 1),
            Q_ARG(QList<QVariantMap>, list), Q_ARG(QVariantMap, mouse(1, 0, 0, 2))));
        QVERIFY(ok);
        QCOMPARE(VirtualHid::model().monitors.first().width, 1024);
    }
};

QTEST_GUILESS_MAIN(TestKV830Upload)
#include "tst_kv830upload.moc"
