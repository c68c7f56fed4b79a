#include "layoutmodel.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // As the agent renders: no OpenGL needed, which VMs, remote desktops and Wine may lack.
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
#ifndef Q_OS_WIN
    // Nor the GL driver to pick the window's visual.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Spanlink Setup"));
    QApplication::setOrganizationName(QStringLiteral("VORN"));
    QApplication::setApplicationVersion(QStringLiteral(SPANLINK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Arranges the monitors of every computer on the switch's grid."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
        QStringLiteral("A layout file to open instead of the switch's."), QStringLiteral("[file]"));
    parser.process(app);

    LayoutModel model;
    // The switch first, for its ports and settings; a file given replaces only the picture.
    QString message = model.readSwitch();
    const QString file = parser.positionalArguments().value(0);
    if (!file.isEmpty()) {
        const QString error = model.open(file);
        message = error.isEmpty() ? QStringLiteral("Opened %1.").arg(file) : error;
    } else if (message.isEmpty()) {
        message = QStringLiteral("Read the switch: %1 monitors.").arg(model.rowCount());
    }

    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("layoutModel"), &model);
    engine.rootContext()->setContextProperty(QStringLiteral("startMessage"), message);
    engine.load(QUrl(QStringLiteral("qrc:/setup/qml/main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    return app.exec();
}
