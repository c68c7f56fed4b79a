#pragma once

#include <QAbstractEventDispatcher>
#include <QGuiApplication>

#include <cstdlib>

// One offscreen application for the whole run, its log silenced (else most of the time) unless SPANLINK_FUZZ_LOG.
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

// One input's single-shot timers (a pending switch's end) parent to the dispatcher and pile up: no event loop runs.
inline void dropPendingTimers()
{
    const QObjectList children = QAbstractEventDispatcher::instance()->children(); // a copy: we delete from it
    for (QObject *child : children) {
        if (child->inherits("QSingleShotTimer"))
            delete child;
    }
}
