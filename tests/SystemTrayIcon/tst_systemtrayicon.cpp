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
    QString m_picture; // a picture on disk
    QString m_resource; // a picture compiled into the process, as ":/..."

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_picture = m_dir.filePath(QStringLiteral("pic.png"));
        QVERIFY(writePicture(m_picture));
        // Any of the pictures Qt's widgets carry as resources shows that a qrc: URL gets there.
        QDirIterator it(QStringLiteral(":/"), {QStringLiteral("*.png")}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(it.hasNext());
        m_resource = it.next();

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
        QTest::newRow("file URL") << QUrl::fromLocalFile(m_picture) << true;
        QTest::newRow("resource URL") << QUrl(QStringLiteral("qrc") + m_resource) << true;
        QTest::newRow("missing file") << QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none.ico"))) << false;
        QTest::newRow("missing resource") << QUrl(QStringLiteral("qrc:/Images/none.ico")) << false;
        QTest::newRow("plain text") << QUrl(QStringLiteral("no picture")) << false;
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

    // The generated artwork must decode with Qt's own readers, at its size, with alpha.
    void pictures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::newRow("connected") << QStringLiteral("kv830mt.ico") << QSize(48, 48);
        QTest::newRow("offline") << QStringLiteral("offline.ico") << QSize(48, 48);
        QTest::newRow("alert") << QStringLiteral("img-fail.png") << QSize(45, 45);
        QTest::newRow("close") << QStringLiteral("close.png") << QSize(10, 10);
    }

    void pictures()
    {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const QImage image(QFINDTESTDATA(QStringLiteral("../../src/Images/") + name));
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());
    }

    void changeSignalsOncePerChange()
    {
        const QString copy = m_dir.filePath(QStringLiteral("copy.png"));
        QVERIFY(writePicture(copy));
        const QUrl url = QUrl::fromLocalFile(copy);
        const QString tip = QStringLiteral("Spanlink");
        MyAction action;
        SystemTrayIcon tray;
        MyMenu menu;
        QSignalSpy actionIcon(&action, &MyAction::iconChanged);
        QSignalSpy trayIcon(&tray, &SystemTrayIcon::iconChanged);
        QSignalSpy toolTip(&tray, &SystemTrayIcon::toolTipChanged);
        QSignalSpy menuChanged(&tray, &SystemTrayIcon::menuChanged);
        // The starting values are empty, so empty values change nothing.
        action.setIcon(QUrl());
        tray.setIcon(QUrl());
        tray.setToolTip(QString());
        QCOMPARE(actionIcon.count() + trayIcon.count() + toolTip.count(), 0);
        const auto setAll = [&] {
            action.setIcon(url);
            tray.setIcon(url);
            tray.setToolTip(tip);
            tray.setMenu(&menu);
        };
        setAll();
        // Gone before the repeat: a repeated URL must not be read again.
        QVERIFY(QFile::remove(copy));
        setAll();
        QCOMPARE(actionIcon.count(), 1);
        QCOMPARE(trayIcon.count(), 1);
        QCOMPARE(toolTip.count(), 1);
        QCOMPARE(menuChanged.count(), 1);
        QVERIFY(loaded(action.QAction::icon()));
        QVERIFY(loaded(trayIconOf(tray)->icon()));
        QCOMPARE(tray.toolTip(), tip);
        QCOMPARE(trayIconOf(tray)->toolTip(), tip);
        QCOMPARE(tray.menu(), &menu);
        QVERIFY(trayIconOf(tray)->contextMenu());
        tray.setMenu(nullptr);
        QCOMPARE(menuChanged.count(), 2);
        QCOMPARE(tray.menu(), nullptr);
        QCOMPARE(trayIconOf(tray)->contextMenu(), nullptr);
    }

    // Online, offline, online...: each picture is read and scaled once. An icon read anew for
    // every change leaves one more scaled picture in Qt's pixmap cache each time (it is keyed
    // by the icon a picture came from), so the agent grew with every unplug of the switch.
    void alternatingIconsKeepTheirPictures()
    {
        const QString other = m_dir.filePath(QStringLiteral("other.png"));
        QVERIFY(writePicture(other));
        const QUrl online = QUrl::fromLocalFile(m_picture);
        const QUrl offline = QUrl::fromLocalFile(other);
        SystemTrayIcon tray;
        QSystemTrayIcon *icon = trayIconOf(tray);
        const QSize small(12, 12); // below the pictures' 16 x 16: a scaled copy
        QHash<QUrl, qint64> iconKey, scaledKey;
        for (int i = 0; i < 20; ++i) {
            const QUrl url = i % 2 ? offline : online;
            tray.setIcon(url);
            const qint64 key = icon->icon().cacheKey();
            const qint64 scaled = icon->icon().pixmap(small).cacheKey();
            QCOMPARE(iconKey.value(url, key), key);
            QCOMPARE(scaledKey.value(url, scaled), scaled);
            iconKey.insert(url, key);
            scaledKey.insert(url, scaled);
        }
        QVERIFY(iconKey.value(online) != iconKey.value(offline));
        // A scene that names ever new pictures: the kept ones are let go, and one that comes
        // back is read again.
        for (int i = 0; i < 20; ++i)
            tray.setIcon(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none%1.png").arg(i))));
        QVERIFY(!loaded(icon->icon()));
        tray.setIcon(online);
        QVERIFY(loaded(icon->icon()));
    }

    // The size is the menu widget's, read back through the hiding properties too.
    void menuSize()
    {
        MyMenu menu;
        SystemTrayIcon tray;
        tray.setMenu(&menu);
        QMenu *widget = trayIconOf(tray)->contextMenu();
        QSignalSpy widthChanged(&menu, &MyMenu::widthChanged);
        QSignalSpy heightChanged(&menu, &MyMenu::heightChanged);
        const int width = widget->width() + 17;
        const int height = widget->height() + 9;
        menu.setWidth(widget->width());
        menu.setHeight(widget->height());
        QCOMPARE(widthChanged.count() + heightChanged.count(), 0);
        for (int i = 0; i < 2; ++i) {
            menu.setWidth(width);
            menu.setHeight(height);
        }
        QCOMPARE(widthChanged.count(), 1);
        QCOMPARE(heightChanged.count(), 1);
        QCOMPARE(widget->size(), QSize(width, height));
        QCOMPARE(widget->minimumSize(), widget->maximumSize());
        QCOMPARE(menu.property("width").toInt(), width);
        QCOMPARE(menu.property("height").toInt(), height);
    }

    void activation_data()
    {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<int>("triggers");
        QTest::newRow("single click") << QSystemTrayIcon::Trigger << 1;
        QTest::newRow("double click") << QSystemTrayIcon::DoubleClick << 1;
        QTest::newRow("right click") << QSystemTrayIcon::Context << 0;
        QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << 0;
        QTest::newRow("unknown") << QSystemTrayIcon::Unknown << 0;
    }

    void activation()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(int, triggers);
        SystemTrayIcon tray;
        QSignalSpy trigger(&tray, &SystemTrayIcon::trigger);
        tray.onActivated(reason);
        QCOMPARE(trigger.count(), triggers);
        // The tray icon's own signal is wired to the slot.
        emit trayIconOf(tray)->activated(reason);
        QCOMPARE(trigger.count(), 2 * triggers);
    }

    void visibilityAndPosition()
    {
        QQuickItem parent;
        SystemTrayIcon tray(&parent);
        tray.setIcon(QUrl::fromLocalFile(m_picture)); // showing an icon without a picture warns
        QSystemTrayIcon *icon = trayIconOf(tray);
        QVERIFY(!tray.isVisible());
        QVERIFY(!icon->isVisible());
        tray.setVisible(true);
        QVERIFY(icon->isVisible());
        parent.setVisible(false);
        QVERIFY(!icon->isVisible());
        parent.setVisible(true);
        QVERIFY(icon->isVisible());
        // x and y are the icon's place on screen, not the item's.
        tray.QQuickItem::setX(37);
        tray.QQuickItem::setY(41);
        QCOMPARE(tray.property("x").toInt(), icon->geometry().x());
        QCOMPARE(tray.property("y").toInt(), icon->geometry().y());
        // onExit hides the icon and ends the event loop with 0; the guard only stops a hang.
        QTimer guard;
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(5000);
        QTimer::singleShot(0, &tray, &SystemTrayIcon::onExit);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!icon->isVisible());
    }

    // As a scene declares it: relative pictures resolve against the scene, and the menu takes
    // its children in declaration order, skipping anything that is not one of the three kinds.
    void menuFromScene()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(
            import QtQuick 2.15
            import vorn.trayicon 1.0
            SystemTray {
                visible: true
                icon: "pic.png"
                menu: MyMenu {
                    width: 150
                    MyAction { text: "Open"; icon: "pic.png" }
                    MySeparator {}
                    MyMenu { MyAction { text: "Inner" } }
                    Item { objectName: "MyAction" }
                    QtObject {}
                    MyAction { text: "Exit" }
                }
            })",
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("scene.qml"))));
        QScopedPointer<QObject> root(component.create());
        auto *tray = qobject_cast<SystemTrayIcon *>(root.data());
        QVERIFY2(tray, qPrintable(component.errorString()));
        QSystemTrayIcon *icon = trayIconOf(*tray);
        QVERIFY(icon->isVisible());
        QVERIFY(loaded(icon->icon()));
        QMenu *menu = icon->contextMenu();
        QVERIFY(menu);
        QCOMPARE(menu->width(), 150);
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 4);
        QCOMPARE(actions[0]->text(), QStringLiteral("Open"));
        QVERIFY(loaded(actions[0]->icon()));
        QVERIFY(actions[1]->isSeparator());
        QMenu *sub = actions[2]->menu();
        QVERIFY(sub);
        QCOMPARE(sub->actions().size(), 1);
        QCOMPARE(sub->actions()[0]->text(), QStringLiteral("Inner"));
        QCOMPARE(actions[3]->text(), QStringLiteral("Exit"));
    }
};

QTEST_MAIN(TestSystemTrayIcon)
#include "tst_systemtrayicon.moc"
