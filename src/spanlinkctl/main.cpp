#include "ctl.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QTextStream out(stdout);
    QTextStream err(stderr);
    // Only detect looks at the desktop; everything else runs where there is none.
    std::unique_ptr<QCoreApplication> app;
    if (SpanlinkCtl::needsScreens(arguments)) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        // Without a display the platform plugin would abort the process.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            err << "spanlinkctl: layout detect needs this computer's desktop, and there is no DISPLAY" << Qt::endl;
            return SpanlinkCtl::NoAnswer;
        }
#endif
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    return SpanlinkCtl::run(arguments, out, err);
}
