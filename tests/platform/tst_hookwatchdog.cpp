// The decision of the watchdog that notices hooks the system has dropped, on a fake clock.

#include "platform/hookwatchdog.h"

#include <QtTest>

class TestHookWatchdog : public QObject
{
    Q_OBJECT

private slots:
    // "name: steps" on the system's tick: hT a hook procedure ran, iT input arrived, cT a look that keeps still,
    // CT:U one that asks for the hooks again, input unseen for U ms. Only the last input is known; input that
    // reaches no hook (another desktop) makes each next wait twice as long, up to a minute; the tick wraps.
    void decides()
    {
        for (const char *c : {"seen: h0 i100 h100 c500 i900 h900 c1000 c5000 c100000", "no input: h0 c1000 c3000000",
                 "unseen for the grace: h0 i200 c500 i1000 c1500 c2199 C2200:2000",

                 "right after a hook call: h1000 i1100 c5000 c90000",
                 "just past the slack: h1000 i1101 c1200 C3101:2000",
                 "a hook call ends the wait: h0 i200 c250 h260 c2500 c9000",
                 "a new wait after a hook call: h0 i200 c250 h260 i1700 c1800 c3000 c3699 C3700:2000",
                 "input before the re-installation is old: h0 i200 C2200:2000 c3000 c10000",
                 "longer waits: h0 i200 C2200:2000 i2400 c2400 c6399 C6400:4000 i6600 c6600 c14599 C14600:8000",
                 "a hook call brings the normal wait back: h0 i200 C2200:2000 i2400 c2400 C6400:4000 h6500 i6700 c6700 "
                 "C8700:2000",
                 "capped: h0 i200 C2200 i2400 c2400 C6400 i6600 c6600 C14600 i14800 c14800 C30800 i31000 c31000 C63000 "
                 "i63200 c63200 c123199 C123200:60000 i123400 c123400 C183400:60000",
                 "across the wrap, seen: h4294967000 i4294967100 h4294967100 c200 c5000",
                 "across the wrap, unseen: h4294966000 i4294966296 c4294967000 c999 C1000:2000"}) {
            HookWatchdog watchdog;
            std::uint32_t lastInput = 0;
            for (const QString &step : QString::fromLatin1(c).section(QLatin1String(": "), 1).split(QLatin1Char(' '))) {
                const auto tick = std::uint32_t(step.mid(1).section(QLatin1Char(':'), 0, 0).toLongLong());
                const QString unseen = step.section(QLatin1Char(':'), 1);
                if (step[0] == QLatin1Char('h') || step[0] == QLatin1Char('i'))
                    step[0] == QLatin1Char('h') ? watchdog.hookRan(tick) : void(lastInput = tick);
                else
                    QVERIFY2(watchdog.check(tick, lastInput) == (step[0] == QLatin1Char('C'))
                            && (unseen.isEmpty() || watchdog.unseenMsec() == unseen.toUInt()),
                        qPrintable(QString::fromLatin1(c) + QLatin1String(" at ") + step));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestHookWatchdog)
#include "tst_hookwatchdog.moc"
