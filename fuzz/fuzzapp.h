#pragma once

#include <QAbstractEventDispatcher>
#include <QGuiApplication>
#include <QObject>

#include <cstdlib>

// One application for the whole run, on the offscreen platform, with the log silenced: the
// fuzzer calls the entry point millions of times and a message per call would be most of its
// time. SPANLINK_FUZZ_LOG=1 lets messages through, to see what an input does.
inline void startFuzzApplication()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!std::getenv("SPANLINK_FUZZ_LOG"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);
}

// Single-shot timers started during one input (the engine's end of a pending switch) would
// otherwise pile up, as the event loop never runs: Qt parents them to the event dispatcher.
inline void dropPendingTimers()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return;
    const QObjectList children = dispatcher->children();
    for (QObject *child : children) {
        if (child->inherits("QSingleShotTimer"))
            delete child;
    }
}
