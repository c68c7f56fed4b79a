#include "HIDCommand/hidcommand.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
const unsigned char heartBeat[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46};
}

class TestHidCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { VirtualHid::reset(); }

    void closedObjectTouchesNoLibrary()
    {
        MessageLog log;
        HidCommand hid;
        unsigned char buffer[8] = {0xC6};
        QVERIFY(!hid.sendRequest(heartBeat, 8));
        QVERIFY(!hid.getReply(buffer, 8));
        QCOMPARE(log.count(QStringLiteral("please open device first !")), 2);
        QVERIFY(hid.closedevice());
        QVERIFY(hid.closedevice());
        QCOMPARE(log.count(QStringLiteral("\nclosedev() called")), 2);

        QVERIFY(VirtualHid::sentFrames().isEmpty());
        QCOMPARE(VirtualHid::initCalls() + VirtualHid::exitCalls() + VirtualHid::closeCalls(), 0);
    }

    void openReopenAndClose()
    {
        HidCommand hid;
        QVERIFY(hid.opendevice(0x1209, 0x0830));
        // The heartbeat reopens without closing first: each reopen gives the held handle back.
        for (int i = 0; i < 9; ++i)
            QVERIFY(hid.opendevice(1, 2));
        QVERIFY(hid.isOpen());
        QCOMPARE(VirtualHid::openHandles(), 1);
        QCOMPARE(VirtualHid::initCalls() - VirtualHid::exitCalls(), 1);

        QVERIFY(hid.closedevice());
        QVERIFY(!hid.isOpen());
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());

        // A reopen that finds no switch still gives the old handle back.
        QVERIFY(hid.opendevice(1, 2));
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());
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
        QCOMPARE(VirtualHid::exitCalls(), 1);
        QVERIFY(!hid.isOpen());
        VirtualHid::plug();
        QVERIFY(hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::initCalls(), 3);
    }

    void failedAndShortExchanges()
    {
        MessageLog log;
        HidCommand hid;
        QVERIFY(hid.opendevice(1, 2));
        unsigned char buffer[8] = {0xC6};
        // A failed send or read is logged and the handle is kept for the next exchange.
        VirtualHid::failNextSend();
        QVERIFY(!hid.sendRequest(heartBeat, 8));
        QVERIFY(hid.sendRequest(heartBeat, 8));
        VirtualHid::failNextRead();
        QVERIFY(!hid.getReply(buffer, 8));
        QVERIFY(log.contains(QStringLiteral("Unable to send a feature report.")));
        QVERIFY(log.contains(QStringLiteral("Unable to get a feature report.")));

        // A short read counts as read; what did not come keeps the caller's bytes.
        for (int bytes : {0, 1, 7}) {
            QVERIFY(hid.sendRequest(heartBeat, 8));
            unsigned char partial[8] = {0xC6, 0xEE};
            VirtualHid::shortenNextReply(bytes);
            QVERIFY2(hid.getReply(partial, 8), qPrintable(QString::number(bytes)));
            QCOMPARE(partial[1], bytes < 2 ? 0xEE : 0x00);
        }
    }
};

QTEST_GUILESS_MAIN(TestHidCommand)
#include "tst_hidcommand.moc"
