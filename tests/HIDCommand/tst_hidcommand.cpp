#include "HIDCommand/hidcommand.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QRegularExpression>
#include <QtTest>

class TestHidCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { VirtualHid::reset(); }

    void closedObjectTouchesNoLibrary()
    {
        MessageLog log;
        HidCommand hid;
        const unsigned char frame[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46};
        unsigned char buffer[8] = {0xC6};

        QVERIFY(!hid.sendRequest(frame, 8));
        QVERIFY(!hid.getReply(buffer, 8));
        QCOMPARE(log.count(QStringLiteral("please open device first !")), 2);

        QVERIFY(hid.closedevice());
        QVERIFY(hid.closedevice());
        QCOMPARE(log.count(QStringLiteral("\nclosedev() called")), 2);

        QVERIFY(VirtualHid::sentFrames().isEmpty());
        QCOMPARE(VirtualHid::initCalls(), 0);
        QCOMPARE(VirtualHid::exitCalls(), 0);
        QCOMPARE(VirtualHid::closeCalls(), 0);
    }

    void openAndClose()
    {
        MessageLog log;
        HidCommand hid;
        QVERIFY(hid.opendevice(0x1209, 0x0830));
        QVERIFY(hid.isOpen());
        QCOMPARE(log.lines().value(0), QStringLiteral("hid_init() ok."));
        QVERIFY(QRegularExpression(QStringLiteral("^hid_open\\(\\) ok, handle = 0x[0-9a-f]+$"))
                    .match(log.lines().value(1))
                    .hasMatch());
        QCOMPARE(VirtualHid::openHandles(), 1);

        QVERIFY(hid.closedevice());
        QVERIFY(!hid.isOpen());
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), 1);
        QCOMPARE(VirtualHid::exitCalls(), 1);
    }

    void openFailures()
    {
        MessageLog log;
        HidCommand hid;

        // hid_init failing logs nothing and leaves nothing to shut down.
        VirtualHid::failNextInit();
        QVERIFY(!hid.opendevice(1, 2));
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(VirtualHid::exitCalls(), 0);

        // No device: hidapi is shut down again, and the next attempt starts with hid_init.
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(log.lines(), QStringList({QStringLiteral("hid_init() ok."), QStringLiteral("unable to open device")}));
        QCOMPARE(VirtualHid::initCalls(), 2);
        QCOMPARE(VirtualHid::exitCalls(), 1);
        QVERIFY(!hid.isOpen());

        VirtualHid::plug();
        QVERIFY(hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::initCalls(), 3);
        hid.closedevice();
    }

    void failedExchangeKeepsHandle()
    {
        MessageLog log;
        HidCommand hid;
        QVERIFY(hid.opendevice(1, 2));
        const unsigned char frame[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46};
        unsigned char buffer[8] = {0xC6};

        VirtualHid::failNextSend();
        QVERIFY(!hid.sendRequest(frame, 8));
        QVERIFY(log.contains(QStringLiteral("Unable to send a feature report.")));
        QVERIFY(hid.isOpen());

        QVERIFY(hid.sendRequest(frame, 8));
        VirtualHid::failNextRead();
        QVERIFY(!hid.getReply(buffer, 8));
        QVERIFY(log.contains(QStringLiteral("Unable to get a feature report.")));
        QVERIFY(hid.isOpen());

        // Once unplugged the same handle fails every exchange but is still held.
        VirtualHid::unplug();
        QVERIFY(!hid.sendRequest(frame, 8));
        QVERIFY(hid.isOpen());
        hid.closedevice();
    }

    void shortReadCountsAsRead()
    {
        HidCommand hid;
        QVERIFY(hid.opendevice(1, 2));
        const unsigned char frame[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46};
        for (int bytes : {0, 1, 7}) {
            QVERIFY(hid.sendRequest(frame, 8));
            unsigned char buffer[8] = {0xC6, 0xEE};
            VirtualHid::shortenNextReply(bytes);
            QVERIFY2(hid.getReply(buffer, 8), qPrintable(QString::number(bytes)));
            // What did not come keeps the caller's bytes.
            if (bytes < 2)
                QCOMPARE(buffer[1], 0xEE);
        }
        hid.closedevice();
    }

    void reopenGivesBackTheHeldHandle()
    {
        HidCommand hid;
        for (int i = 0; i < 10; ++i)
            QVERIFY(hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::openHandles(), 1);
        QCOMPARE(VirtualHid::initCalls() - VirtualHid::exitCalls(), 1);

        // A reopen that finds no switch still gives the old handle back.
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());
    }
};

QTEST_GUILESS_MAIN(TestHidCommand)
#include "tst_hidcommand.moc"
