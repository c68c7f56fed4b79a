// The tray types, and the main scene's logic driven through a stand-in engine registered as
// "Monitor", in the real view.

#include "SystemTrayIcon/systemtrayicon.h"
#include "messagelog.h"

#include <QApplication>
#include <QMenu>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QSGRendererInterface>
#include <QTemporaryDir>
#include <QtQml>
#include <QtTest>

class StandInMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int devstatus READ devstatus NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap frameInfo READ frameInfo NOTIFY monitorChanged)

public:
    int devstatus() const { return s_devstatus; }
    QVariantMap frameInfo() const { return s_frameInfo; }
    Q_INVOKABLE bool connectDevice() { return (s_last = this, s_devstatus); }
    // A QVariant, so that a test can hand the scene an undefined value.
    Q_INVOKABLE QVariant getMouseHighlightData() { return s_highlight; }
    Q_INVOKABLE void uninstallHook() { ++s_uninstalls; }
    void arrive(int x, int y, int w, int h, int port = 0)
    {
        s_frameInfo = {{QStringLiteral("x"), x}, {QStringLiteral("y"), y}, {QStringLiteral("width"), w},
            {QStringLiteral("height"), h}, {QStringLiteral("switchport"), port}};
        emit monitorChanged();
    }
    static inline StandInMonitor *s_last = nullptr;
    static inline int s_devstatus = 1, s_uninstalls = 0;
    static inline QVariant s_highlight;
    static inline QVariantMap s_frameInfo;

signals:
    void statusChanged();
    void monitorChanged();
};

// In Qt 5 an icon made from a path that names no picture is not null; it just has no sizes.
static bool loaded(const QIcon &icon)
{
    return !icon.availableSizes().isEmpty();
}

static QSystemTrayIcon *trayIconOf(const QObject *item)
{
    return item->findChild<QSystemTrayIcon *>();
}

class TestMainScene : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QUrl m_picture, m_other;
    std::unique_ptr<QQuickView> m_view;
    QQuickItem *m_root = nullptr, *m_frame = nullptr;
    QObject *m_timer = nullptr;

    // A fresh view with the main scene, as main() builds it.
    void load(int status, int duration, bool connects = true)
    {
        StandInMonitor::s_devstatus = connects;
        if (connects)
            StandInMonitor::s_highlight
                = QVariantMap {{QStringLiteral("status"), status}, {QStringLiteral("duration"), duration}};
        m_view = std::make_unique<QQuickView>();
        m_view->setFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput);
        m_view->rootContext()->setContextProperty(QStringLiteral("mainwindow"), m_view.get());
        m_view->setSource(QUrl(QStringLiteral("qrc:/Qml/main.qml")));
        m_view->show();
        QVERIFY((m_root = m_view->rootObject()));
        for (QObject *child : m_root->children()) {
            if (child->metaObject()->className() == QByteArray("QQmlTimer"))
                m_timer = child;
            else if (child->metaObject()->className() == QByteArray("QQuickRectangle"))
                m_frame = qobject_cast<QQuickItem *>(child);
        }
    }
    int prop(const char *name) const { return m_root->property(name).toInt(); }
    bool shown() const { return m_frame->isVisible() || m_timer->property("running").toBool(); }
    void tick() { QMetaObject::invokeMethod(m_timer, "triggered"); }
    QString trayPicture() const { return m_root->findChild<SystemTrayIcon *>()->icon().fileName(); }

private slots:
    void initTestCase()
    {
        m_picture = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("pic.png")));
        m_other = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("other.png")));
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        QVERIFY(image.save(m_picture.toLocalFile()) && image.save(m_other.toLocalFile()));
        qmlRegisterType<MyMenu>("vorn.trayicon", 1, 0, "MyMenu");
        qmlRegisterType<MyAction>("vorn.trayicon", 1, 0, "MyAction");
        qmlRegisterType<MySeparator>("vorn.trayicon", 1, 0, "MySeparator");
        qmlRegisterType<SystemTrayIcon>("vorn.trayicon", 1, 0, "SystemTray");
        qmlRegisterType<StandInMonitor>("Qt.Quick.Monitor", 1, 0, "Monitor");
    }

    // Both setters share the conversion; a URL naming no picture leaves an empty icon, quietly.
    void iconFromUrl_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<bool>("loads");
        QTest::newRow("resource URL") << QUrl(QStringLiteral("qrc:/Images/kv830mt.ico")) << true;
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
        QVERIFY(action.icon() == url && tray.icon() == url);
        QCOMPARE(loaded(action.QAction::icon()), loads);
        QCOMPARE(loaded(trayIconOf(&tray)->icon()), loads);
        QVERIFY2(log.lines().isEmpty(), qPrintable(log.lines().join(QLatin1Char('\n'))));
    }

    // Online, offline, online...: each picture is read and scaled once, a repeated URL not read
    // again. An icon read anew for every change left one more scaled picture in Qt's pixmap
    // cache each time (keyed by the icon it came from): the agent grew with every unplug.
    void alternatingIconsKeepTheirPictures()
    {
        SystemTrayIcon tray;
        QSystemTrayIcon *icon = trayIconOf(&tray);
        QSignalSpy changed(&tray, &SystemTrayIcon::iconChanged);
        QHash<QUrl, qint64> iconKey, scaledKey;
        for (int i = 0; i < 20; ++i) {
            const QUrl url = i % 2 ? m_other : m_picture;
            tray.setIcon(url);
            tray.setIcon(url);
            const qint64 key = icon->icon().cacheKey(), scaled = icon->icon().pixmap(QSize(12, 12)).cacheKey();
            QVERIFY(iconKey.value(url, key) == key && scaledKey.value(url, scaled) == scaled);
            iconKey.insert(url, key);
            scaledKey.insert(url, scaled);
        }
        QCOMPARE(changed.count(), 20);
        QVERIFY(iconKey.value(m_picture) != iconKey.value(m_other));
        // Ever new pictures: the kept ones are let go, and one that comes back is read again.
        for (int i = 0; i < 20; ++i)
            tray.setIcon(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none%1.png").arg(i))));
        QVERIFY(!loaded(icon->icon()));
        tray.setIcon(m_picture);
        QVERIFY(loaded(icon->icon()));
    }

    // As a scene declares it: relative pictures resolve against the scene, the menu takes its
    // children in order, skipping anything that is not one of the three kinds.
    void trayInAScene()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(import QtQuick 2.15; import vorn.trayicon 1.0
            Item { SystemTray { visible: true; icon: "pic.png"; toolTip: icon + " " + menu.width
                menu: MyMenu { width: 150; MyAction { text: "Open"; icon: "pic.png" } MySeparator {}
                    MyMenu { MyAction { text: "Inner" } } Item { objectName: "MyAction" } MyAction { text: "Exit" } } } })",
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("scene.qml"))));
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        auto *tray = root->findChild<SystemTrayIcon *>();
        QSystemTrayIcon *icon = trayIconOf(tray);
        QVERIFY(icon->isVisible() && loaded(icon->icon()));
        QMenu *menu = icon->contextMenu();
        QCOMPARE(menu->width(), 150);
        // Bindings hear of a new icon and a new width; a width is the menu widget's, fixed.
        tray->setIcon(m_other);
        QCOMPARE(icon->toolTip(), m_other.toString() + QStringLiteral(" 150"));
        const int height = menu->height() + 9;
        tray->menu()->setHeight(height);
        tray->menu()->setWidth(160);
        QCOMPARE(icon->toolTip(), m_other.toString() + QStringLiteral(" 160"));
        QVERIFY(menu->size() == QSize(160, height) && tray->menu()->property("height") == height
            && menu->minimumSize() == menu->maximumSize());
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 4);
        QVERIFY(actions[0]->text() == QLatin1String("Open") && loaded(actions[0]->icon()) && actions[1]->isSeparator());
        QCOMPARE(actions[2]->menu()->actions().value(0)->text(), QStringLiteral("Inner"));
        QCOMPARE(actions[3]->text(), QStringLiteral("Exit"));
        QSignalSpy trigger(tray, &SystemTrayIcon::trigger);
        for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Context})
            emit icon->activated(reason);
        QCOMPARE(trigger.count(), 2); // clicks, not the menu's
        qobject_cast<QQuickItem *>(root.data())->setVisible(false);
        QVERIFY(!icon->isVisible());
        // x and y are the icon's place on screen, not the item's.
        tray->QQuickItem::setX(37);
        QVERIFY(
            tray->property("x").toInt() == icon->geometry().x() && tray->property("y").toInt() == icon->geometry().y());
        // onExit ends the event loop with 0; the guard only stops a hang.
        QTimer guard;
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(5000);
        QTimer::singleShot(0, tray, &SystemTrayIcon::onExit);
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // Duration codes of the switch in seconds; the view starts as one hidden pixel.
    void durations_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("seconds");
        QTest::newRow("0: until the next change") << 0 << 0;
        QTest::newRow("1") << 1 << 3;
        QTest::newRow("2") << 2 << 5;
        QTest::newRow("3") << 3 << 10;
        QTest::newRow("7: like 1") << 7 << 3;
    }
    void durations()
    {
        QFETCH(int, code);
        load(1, code);
        QTEST(prop("flash_duration"), "seconds");
        QVERIFY(m_view->size() == QSize(1, 1) && !shown());
        QCOMPARE(trayPicture(), QStringLiteral("kv830mt.ico"));
        QCOMPARE(m_root->findChild<SystemTrayIcon *>()->toolTip(), QStringLiteral("Spanlink"));
    }

    void offlineAtStartReadsNothing()
    {
        StandInMonitor::s_highlight = QVariant();
        load(1, 3, false);
        QVERIFY(prop("flash_enable") == 0 && prop("flash_duration") == 3);
        QCOMPARE(trayPicture(), QStringLiteral("offline.ico"));
        // The switch comes, but its settings cannot be read: the old ones stay.
        StandInMonitor::s_devstatus = 1, emit StandInMonitor::s_last->statusChanged();
        QCOMPARE(prop("flash_duration"), 3);
        QCOMPARE(trayPicture(), QStringLiteral("kv830mt.ico"));
    }

    // Highlight off, or keyboard and mouse handed to another port: nothing moves or shows.
    void nothingToHighlight_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("port");
        QTest::newRow("highlight off") << 0 << 0;
        QTest::newRow("another port") << 1 << 1;
    }
    void nothingToHighlight()
    {
        QFETCH(int, status);
        QFETCH(int, port);
        load(status, 1);
        const QRect before = m_view->geometry();
        StandInMonitor::s_last->arrive(1920, 0, 1920, 1080, port);
        QVERIFY(m_view->geometry() == before && !shown());
    }

    void frameCoversTheEnteredMonitorAndBlinks()
    {
        load(1, 1); // three seconds: six half-second ticks
        StandInMonitor::s_last->arrive(1920, 0, 1920, 1080);
        QTRY_COMPARE(m_view->geometry(), QRect(1920, 0, 1920, 1079));
        QCOMPARE(m_frame->size(), QSizeF(1920, 1079));
        QCOMPARE(m_frame->property("border").value<QObject *>()->property("width").toInt(), 15);
        QCOMPARE(m_timer->property("interval").toInt(), 500);
        QList<bool> seen;
        for (int i = 0; i < 6; ++i, tick())
            seen << m_frame->isVisible();
        QCOMPARE(seen, QList<bool>({true, false, true, false, true, false}));
        QVERIFY(!shown() && prop("count") == 1);
        // Code 0 blinks on until something changes.
        load(1, 0);
        StandInMonitor::s_last->arrive(0, 0, 800, 600);
        for (int i = 0; i < 40; ++i)
            tick();
        QVERIFY(m_timer->property("running").toBool());
    }

    void changesStopTheBlinking()
    {
        load(1, 3);
        StandInMonitor::s_last->arrive(0, 0, 800, 600);
        tick(), tick(), tick();
        // Another monitor of this computer: the blinking starts again there.
        StandInMonitor::s_last->arrive(800, 0, 1024, 768);
        QVERIFY(prop("count") == 1 && m_frame->isVisible());
        QTRY_COMPARE(m_view->geometry(), QRect(800, 0, 1024, 767));
        // The switch is lost: frame hidden, blinking over, offline icon.
        tick();
        StandInMonitor::s_devstatus = 0, emit StandInMonitor::s_last->statusChanged();
        QVERIFY(!shown() && prop("count") == 1);
        QCOMPARE(trayPicture(), QStringLiteral("offline.ico"));
    }

    void quitRemovesTheHooksAndCloses()
    {
        load(1, 1);
        auto *quit = m_root->findChild<MyAction *>();
        QCOMPARE(quit->text(), QStringLiteral("Quit"));
        quit->trigger();
        QVERIFY(StandInMonitor::s_uninstalls == 1 && !m_view->isVisible());
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software); // as the agent renders
    QApplication app(argc, argv);
    TestMainScene test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainscene.moc"
