#pragma once

#include <QElapsedTimer>
#include <QTest>

// Polls `condition` until it holds or `msec` have passed by the clock (a look at a screen takes time of its own).
template <typename Condition> bool waitFor(Condition condition, int msec = 8000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > msec)
            return false;
        QTest::qWait(50);
    }
    return true;
}
