// The decision of the watchdog that notices hooks the system has dropped, on a fake clock.

#include "platform/hookwatchdog.h"

#include <QtTest>

class TestHookWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void decides_data()
    {
        // Steps on the system's tick: hT a hook procedure ran, iT input arrived, cT the
        // watchdog looks and keeps still, CT:U it asks for the hooks again, input having gone
        // unseen for U ms. The hooks are installed at tick 0 unless the first step says else.
        QTest::addColumn<QString>("steps");

        QTest::newRow("the hooks see the input") << "h0 i100 h100 c500 i900 h900 c1000 c5000 c100000";
        QTest::newRow("no input at all") << "h0 c1000 c10000 c3000000";
        QTest::newRow("unseen input for the grace") << "h0 i200 c500 i1000 c1500 c2199 C2200:2000";
        QTest::newRow("counted from the input, not the check") << "h0 i200 c1900 c2199 C2200:2000";
        // Only the last input is known: a wait counts from the last one seen at its start.
        QTest::newRow("more input before the first check") << "h0 i200 i1500 c1900 c3499 C3500:2000";
        QTest::newRow("input right after a hook call is seen") << "h1000 i1100 c5000 c90000";
        QTest::newRow("input just past the slack is not") << "h1000 i1101 c1200 C3101:2000";
        // The check ran between an input and its hook call.
        QTest::newRow("a hook call ends the wait") << "h0 i200 c250 h260 c2500 c9000";
        QTest::newRow("a new wait after a hook call") << "h0 i200 c250 h260 i1700 c1800 c3000 c3699 C3700:2000";
        QTest::newRow("input before the re-installation is old") << "h0 i200 C2200:2000 c3000 c10000";
        // Input that never reaches any hook (another desktop): each next time waits twice as long.
        QTest::newRow("longer waits while input stays unseen")
            << "h0 i200 C2200:2000 i2400 c2400 c6399 C6400:4000 i6600 c6600 c14599 C14600:8000";
        QTest::newRow("a hook call brings the normal wait back")
            << "h0 i200 C2200:2000 i2400 c2400 C6400:4000 h6500 i6700 c6700 C8700:2000";
        QTest::newRow("the wait caps at a minute")
            << "h0 i200 C2200 i2400 c2400 C6400 i6600 c6600 C14600 i14800 c14800 C30800 i31000 c31000 C63000 "
               "i63200 c63200 c123199 C123200:60000 i123400 c123400 C183400:60000";
        // The tick wraps after 49.7 days.
        QTest::newRow("across the wrap, seen") << "h4294967000 i4294967100 h4294967100 c200 c5000";
        QTest::newRow("across the wrap, unseen") << "h4294966000 i4294966296 c4294967000 c999 C1000:2000";
    }

    void decides()
    {
        QFETCH(QString, steps);
        HookWatchdog watchdog;
        std::uint32_t lastInput = 0;
        for (const QString &step : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QStringList parts = step.mid(1).split(QLatin1Char(':'));
            const auto tick = std::uint32_t(parts.at(0).toLongLong());
            switch (step.at(0).toLatin1()) {
            case 'h':
                watchdog.hookRan(tick);
                break;
            case 'i':
                lastInput = tick;
                break;
            case 'c':
                QVERIFY2(!watchdog.check(tick, lastInput), qPrintable(step));
                break;
            case 'C':
                QVERIFY2(watchdog.check(tick, lastInput), qPrintable(step));
                if (parts.size() > 1)
                    QCOMPARE(watchdog.unseenMsec(), std::uint32_t(parts.at(1).toUInt()));
                break;
            default:
                QFAIL(qPrintable(step));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestHookWatchdog)
#include "tst_hookwatchdog.moc"
