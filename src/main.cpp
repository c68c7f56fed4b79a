#include "QLogger.h"
#include "QSingleApplication.h"
#include "SystemTrayIcon/systemtrayicon.h"
#include "edgeframe.h"
#include "monitor.h"
#include "platform/platform.h"
#include "platform/session.h"
#include "trace/trace.h"

#include <QElapsedTimer>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSurfaceFormat>
#include <QTimer>
#include <QtQml>

#include <cstdio>
#include <memory>

namespace
{
// With SPANLINK_STALL_PROBE set, every pause of the GUI thread longer than 50 ms is logged. The
// input hooks run on this thread: while it pauses, the pointer is frozen. Off by default, and
// then it costs nothing.
void startStallProbe(QObject *parent)
{
    if (!qEnvironmentVariableIsSet("SPANLINK_STALL_PROBE"))
        return;
    auto *timer = new QTimer(parent);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(10);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, parent, [clock] {
        const qint64 gap = clock->restart();
        if (gap > 50)
            qInfo("GUI thread stalled %lld ms", gap);
    });
    timer->start();
}

// With SPANLINK_TRACE set, the hops of a crossing are written out every quarter second, away
// from the event that records them.
void startTrace(QObject *parent)
{
    Trace::start("spanlink");
    if (!Trace::s_on)
        return;
    auto *timer = new QTimer(parent);
    timer->setInterval(250);
    QObject::connect(timer, &QTimer::timeout, parent, &Trace::flush);
    timer->start();
}
} // namespace

int main(int argc, char *argv[])
{
    QLogger::start();
    // The installer's commands run in place of the agent.
    const int command = Platform::runCommand(argc, argv);
    if (command != Platform::NoCommand) {
        QLogger::finish();
        return command;
    }
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
#ifndef Q_OS_WIN
    // The software renderer draws without OpenGL. On X11 an OpenGL-capable window would still
    // make Qt load the GL driver (with Mesa's llvmpipe some 60 MB) just to pick the window's
    // visual; without GL the window gets its ARGB visual from the alpha buffer size all the same.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
#endif
    // A window's update waits 5 ms for more events unless told otherwise: the highlight frame
    // is drawn once for an arrival, and should come at once.
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");

    QSingleApplication app(argc, argv);
    startStallProbe(&app);
    startTrace(&app);

    QQuickView view;
    QSurfaceFormat format;
    format.setAlphaBufferSize(8);
    format.setRenderableType(QSurfaceFormat::OpenGL);
    view.setFormat(format);
    view.setClearBeforeRendering(true);
    view.setColor(Qt::transparent);
    view.setSurfaceType(QSurface::RasterGLSurface);
    Qt::WindowFlags flags = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    if (!app.isRunning()) {
        // Never mapped (the frame is drawn by EdgeFrame); were it, the pointer would pass through.
        flags |= Qt::WindowTransparentForInput;
    }
    view.setFlags(flags);

    view.rootContext()->setContextProperty(QStringLiteral("mainwindow"), &view);

    qmlRegisterType<MyMenu>("vorn.trayicon", 1, 0, "MyMenu");
    qmlRegisterType<MyAction>("vorn.trayicon", 1, 0, "MyAction");
    qmlRegisterType<MySeparator>("vorn.trayicon", 1, 0, "MySeparator");
    qmlRegisterType<SystemTrayIcon>("vorn.trayicon", 1, 0, "SystemTray");

    if (app.isRunning()) {
        // A second instance only says so: it never creates an engine, so it leaves the switch
        // and the input alone.
        view.setSource(QUrl(QStringLiteral("qrc:/Qml/alert.qml")));
    } else {
        // Said once, in the log and to whoever started the agent from a terminal.
        const QString wayland = Session::waylandNotice();
        if (!wayland.isEmpty()) {
            qInfo("%s", qPrintable(wayland));
            std::fprintf(stderr, "Spanlink: %s\n", qPrintable(wayland));
            std::fflush(stderr);
        }
        qmlRegisterType<Monitor>("Qt.Quick.Monitor", 1, 0, "Monitor");
        // After sleep the switch gets a fresh handle at once; the heartbeat's reopen would
        // leave it closed for a tick. The first heartbeat after close finds it lost and reopens it.
        Platform::watchSession({[] { Monitor::getInstance()->m_device.close(); },
            [] {
                KV830Data &device = Monitor::getInstance()->m_device;
                if (!device.m_heartBeatTimer)
                    return false; // not connected yet: nothing to reopen, no identifiers to reopen with
                device.close();
                device.heartBeat();
                return device.heartBeat();
            }});
        view.setSource(QUrl(QStringLiteral("qrc:/Qml/main.qml")));
    }
    // The main scene's only drawing is the highlight frame, made of four edge windows; its own
    // window stays unmapped. Closing it is what ends the program; an unmapped window is no
    // "last window" to the toolkit, so its close quits explicitly.
    std::unique_ptr<EdgeFrame> frame;
    if (app.isRunning()) {
        view.show();
    } else {
        view.create();
        // By name: the signal's argument type is private to Qt Quick.
        QObject::connect(&view, SIGNAL(closing(QQuickCloseEvent *)), &app, SLOT(quit()));
        auto *root = view.rootObject();
        frame = std::make_unique<EdgeFrame>(
            &view, root ? root->findChild<QQuickItem *>(QStringLiteral("frame_rec")) : nullptr);
        if (Trace::s_on)
            QObject::connect(frame.get(), &EdgeFrame::shown, [] { Trace::mark("frame-shown"); });
    }

    const int code = app.exec();
    QLogger::finish();
    return code;
}
