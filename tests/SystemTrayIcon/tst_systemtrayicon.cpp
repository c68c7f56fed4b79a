#include "SystemTrayIcon/systemtrayicon.h"

#include "messagelog.h"

#include <QDirIterator>
#include <QImage>
#include <QMenu>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(QSystemTrayIcon::ActivationReason)

namespace
{
QSystemTrayIcon *trayIconOf(const SystemTrayIcon &item)
{
    return item.findChild<QSystemTrayIcon *>();
}

// In Qt 5 an icon made from a path that names no picture is not null; it just has no sizes.
bool loaded(const QIcon &icon)
{
    return !icon.availableSizes().isEmpty();
}

bool writePicture(const QString &path)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    return image.save(path);
}
} // namespace

class TestSystemTrayIcon : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QUrl m_picture, m_other;

private slots:
    void initTestCase()
    {
        m_picture = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("pic.png")));
        m_other = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("other.png")));
        QVERIFY(writePicture(m_picture.toLocalFile()) && writePicture(m_other.toLocalFile()));
        qmlRegisterType<MyMenu>("vorn.trayicon", 1, 0, "MyMenu");
        qmlRegisterType<MyAction>("vorn.trayicon", 1, 0, "MyAction");
        qmlRegisterType<MySeparator>("vorn.trayicon", 1, 0, "MySeparator");
        qmlRegisterType<SystemTrayIcon>("vorn.trayicon", 1, 0, "SystemTray");
    }

    // Both setters share the conversion; a URL naming no picture leaves an empty icon, quietly.
    void iconFromUrl_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<bool>("loads");
        // Any of the pictures Qt's widgets carry as resources shows that a qrc: URL gets there.
        QDirIterator it(QStringLiteral(":/"), {QStringLiteral("*.png")}, QDir::Files, QDirIterator::Subdirectories);
        QTest::newRow("resource URL") << QUrl(QStringLiteral("qrc") + it.next()) << true;
        QTest::newRow("file URL") << m_picture << true;
        QTest::newRow("missing file") << QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none.ico"))) << false;
        QTest::newRow("missing resource") << QUrl(QStringLiteral("qrc:/Images/none.ico")) << false;
    }
    void iconFromUrl()
    {
        QFETCH(QUrl, url);
        QFETCH(bool, loads);
        MessageLog log;
        MyAction action;
        SystemTrayIcon tray;
        action.setIcon(url);
        tray.setIcon(url);
        QCOMPARE(action.icon(), url);
        QCOMPARE(tray.icon(), url);
        QCOMPARE(loaded(action.QAction::icon()), loads);
        QCOMPARE(loaded(trayIconOf(tray)->icon()), loads);
        QVERIFY2(log.lines().isEmpty(), qPrintable(log.lines().join(QLatin1Char('\n'))));
    }

    // Online, offline, online...: each picture is read and scaled once, a repeated URL not read
    // again. An icon read anew for every change left one more scaled picture in Qt's pixmap
    // cache each time (keyed by the icon it came from): the agent grew with every unplug.
    void alternatingIconsKeepTheirPictures()
    {
        const QUrl copy = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("copy.png")));
        QVERIFY(writePicture(copy.toLocalFile()));
        SystemTrayIcon tray;
        MyAction action;
        QSignalSpy trayChanged(&tray, &SystemTrayIcon::iconChanged), actionChanged(&action, &MyAction::iconChanged);
        tray.setIcon(copy);
        action.setIcon(copy);
        QVERIFY(QFile::remove(copy.toLocalFile()));
        tray.setIcon(copy);
        action.setIcon(copy);
        QCOMPARE(trayChanged.count() + actionChanged.count(), 2);
        QVERIFY(loaded(trayIconOf(tray)->icon()) && loaded(action.QAction::icon()));

        QSystemTrayIcon *icon = trayIconOf(tray);
        QHash<QUrl, qint64> iconKey, scaledKey;
        for (int i = 0; i < 20; ++i) {
            const QUrl url = i % 2 ? m_other : m_picture;
            tray.setIcon(url);
            const qint64 key = icon->icon().cacheKey();
            const qint64 scaled = icon->icon().pixmap(QSize(12, 12)).cacheKey(); // a scaled copy
            QCOMPARE(iconKey.value(url, key), key);
            QCOMPARE(scaledKey.value(url, scaled), scaled);
            iconKey.insert(url, key);
            scaledKey.insert(url, scaled);
        }
        QVERIFY(iconKey.value(m_picture) != iconKey.value(m_other));
        // Ever new pictures: the kept ones are let go, and one that comes back is read again.
        for (int i = 0; i < 20; ++i)
            tray.setIcon(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none%1.png").arg(i))));
        QVERIFY(!loaded(icon->icon()));
        tray.setIcon(m_picture);
        QVERIFY(loaded(icon->icon()));
    }

    // The size is the menu widget's, read back through the hiding properties too.
    void menuSize()
    {
        MyMenu menu;
        SystemTrayIcon tray;
        tray.setMenu(&menu);
        QMenu *widget = trayIconOf(tray)->contextMenu();
        QSignalSpy widthChanged(&menu, &MyMenu::widthChanged), heightChanged(&menu, &MyMenu::heightChanged);
        const QSize size = widget->size() + QSize(17, 9);
        menu.setWidth(widget->width());
        menu.setHeight(widget->height());
        for (int i = 0; i < 2; ++i)
            menu.setWidth(size.width()), menu.setHeight(size.height());
        QCOMPARE(widthChanged.count(), 1);
        QCOMPARE(heightChanged.count(), 1);
        QCOMPARE(widget->size(), size);
        QCOMPARE(widget->minimumSize(), widget->maximumSize());
        QCOMPARE(QSize(menu.property("width").toInt(), menu.property("height").toInt()), size);
    }

    void activation_data()
    {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<int>("triggers");
        QTest::newRow("single click") << QSystemTrayIcon::Trigger << 1;
        QTest::newRow("double click") << QSystemTrayIcon::DoubleClick << 1;
        QTest::newRow("right click") << QSystemTrayIcon::Context << 0;
    }
    void activation()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        SystemTrayIcon tray;
        QSignalSpy trigger(&tray, &SystemTrayIcon::trigger);
        emit trayIconOf(tray)->activated(reason);
        QTEST(trigger.count(), "triggers");
    }

    // As a scene declares it: relative pictures resolve against the scene, the menu takes its
    // children in order, skipping anything that is not one of the three kinds.
    void sceneVisibilityAndExit()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(
            import QtQuick 2.15
            import vorn.trayicon 1.0
            Item {
                SystemTray {
                    visible: true
                    icon: "pic.png"
                    toolTip: icon
                    menu: MyMenu {
                        width: 150
                        MyAction { text: "Open"; icon: "pic.png" }
                        MySeparator {}
                        MyMenu { MyAction { text: "Inner" } }
                        Item { objectName: "MyAction" }
                        MyAction { text: "Exit" }
                    }
                }
            })",
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("scene.qml"))));
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        auto *tray = root->findChild<SystemTrayIcon *>();
        QSystemTrayIcon *icon = trayIconOf(*tray);
        QVERIFY(icon->isVisible() && loaded(icon->icon()));
        tray->setIcon(m_other);
        QCOMPARE(icon->toolTip(), m_other.toString()); // bindings hear of a new icon
        QCOMPARE(tray->menu()->width(), 150);
        const QList<QAction *> actions = icon->contextMenu()->actions();
        QCOMPARE(actions.size(), 4);
        QVERIFY(actions[0]->text() == QLatin1String("Open") && loaded(actions[0]->icon()));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->menu()->actions().value(0)->text(), QStringLiteral("Inner"));
        QCOMPARE(actions[3]->text(), QStringLiteral("Exit"));
        qobject_cast<QQuickItem *>(root.data())->setVisible(false);
        QVERIFY(!icon->isVisible());
        qobject_cast<QQuickItem *>(root.data())->setVisible(true);
        QVERIFY(icon->isVisible());
        // x and y are the icon's place on screen, not the item's.
        tray->QQuickItem::setX(37);
        QCOMPARE(tray->property("x").toInt(), icon->geometry().x());
        QCOMPARE(tray->property("y").toInt(), icon->geometry().y());
        // onExit hides the icon and ends the event loop with 0; the guard only stops a hang.
        QTimer guard;
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(5000);
        QTimer::singleShot(0, tray, &SystemTrayIcon::onExit);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!icon->isVisible());
    }
};

QTEST_MAIN(TestSystemTrayIcon)
#include "tst_systemtrayicon.moc"
