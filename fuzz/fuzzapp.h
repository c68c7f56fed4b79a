#pragma once

#include <QAbstractEventDispatcher>
#include <QGuiApplication>

#include <cstdlib>

// One offscreen application for the whole run. The log is silenced (a message per input would be
// most of the fuzzer's time) unless SPANLINK_FUZZ_LOG is set.
#define SPANLINK_FUZZ_APPLICATION                                                                                      \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                                               \
    {                                                                                                                  \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                                       \
        if (!std::getenv("SPANLINK_FUZZ_LOG"))                                                                         \
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});                     \
        static int argc = 1;                                                                                           \
        static char name[] = "fuzz", *argv[] = {name, nullptr};                                                        \
        new QGuiApplication(argc, argv);                                                                               \
        return 0;                                                                                                      \
    }

// Single-shot timers of one input (the end of a pending switch) would pile up, as the event loop
// never runs: Qt parents them to the event dispatcher.
inline void dropPendingTimers()
{
    const QObjectList children = QAbstractEventDispatcher::instance()->children(); // a copy: we delete from it
    for (QObject *child : children) {
        if (child->inherits("QSingleShotTimer"))
            delete child;
    }
}
