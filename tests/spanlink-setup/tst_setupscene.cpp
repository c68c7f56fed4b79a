// Spanlink Setup's scene in-process: the tiles as the keyboard and a screen reader reach them.

#include "layoutmodel.h"

#include <QAccessible>
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

using Monitor = SwitchLayout::MonitorEntry;

class TestSetupScene : public QObject
{
    Q_OBJECT

    static QString nameOf(QQuickItem *item)
    {
        QAccessibleInterface *a = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
        return a ? a->text(QAccessible::Name) : QString();
    }

private slots:
    void keyboardAndNames()
    {
        LayoutModel model;
        SwitchLayout::Layout layout;
        layout.monitors = {{1, 1, 2, 2, 1920, 1080}, {2, 1, 3, 2, 1280, 1024}};
        model.setLayout(layout);
        QQmlApplicationEngine engine;
        engine.rootContext()->setContextProperty(QStringLiteral("layoutModel"), &model);
        engine.rootContext()->setContextProperty(QStringLiteral("startMessage"), QString());
        engine.load(QUrl(QStringLiteral("qrc:/setup/qml/main.qml")));
        QCOMPARE(engine.rootObjects().size(), 1);
        auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
        QVERIFY(window);
        window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(window));

        // Tab reaches the tiles in their order, each with its name.
        QTest::keyClick(window, Qt::Key_Tab);
        QCOMPARE(nameOf(window->activeFocusItem()), QStringLiteral("port 1, monitor 1, 1920 by 1080, row 2 column 2"));
        // The arrow keys move it, the focus stays on it, and its name follows.
        QTest::keyClick(window, Qt::Key_Right);
        QTest::keyClick(window, Qt::Key_Up);
        QCOMPARE(model.layout().monitors.at(0), (Monitor {1, 1, 1, 3, 1920, 1080}));
        QTRY_COMPARE(
            nameOf(window->activeFocusItem()), QStringLiteral("port 1, monitor 1, 1920 by 1080, row 1 column 3"));
        // Not past the grid's edge.
        QTest::keyClick(window, Qt::Key_Up);
        QCOMPARE(model.layout().monitors.at(0).row, 1);

        QTest::keyClick(window, Qt::Key_Tab);
        QCOMPARE(nameOf(window->activeFocusItem()), QStringLiteral("port 2, monitor 1, 1280 by 1024, row 3 column 2"));
        // Onto another port's monitor: the problem is part of the name.
        QTest::keyClick(window, Qt::Key_Up);
        QTest::keyClick(window, Qt::Key_Right);
        QTest::keyClick(window, Qt::Key_Up);
        QTRY_COMPARE(nameOf(window->activeFocusItem()),
            QStringLiteral(
                "port 2, monitor 1, 1280 by 1024, row 1 column 3; problem: row 1 column 3 also holds port 1, "
                "monitor 1"));
        QVERIFY(!model.valid());
        QTest::keyClick(window, Qt::Key_Delete);
        QCOMPARE(model.rowCount(), 1);
        QVERIFY(model.valid());
        QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.layout().monitors.at(1), (Monitor {2, 1, 1, 3, 1280, 1024}));
    }
};

int main(int argc, char *argv[])
{
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software); // as the program renders
    QApplication app(argc, argv);
    TestSetupScene test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_setupscene.moc"
