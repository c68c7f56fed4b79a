// The tray types, and the main scene driven through a stand-in engine registered as "Monitor".

#include "SystemTrayIcon/systemtrayicon.h"
#include "edgeframe.h"

#include <QtQuick>
#include <QtTest>
#include <QtWidgets>

class StandInMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int devstatus MEMBER s_devstatus NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap frameInfo MEMBER s_frameInfo NOTIFY monitorChanged)
    Q_PROPERTY(QString portNote MEMBER s_portNote NOTIFY portNoteChanged)
    Q_PROPERTY(QString sessionNote MEMBER s_sessionNote CONSTANT)

public:
    Q_INVOKABLE bool connectDevice() { return (s_last = this, s_devstatus); }
    Q_INVOKABLE QVariant getMouseHighlightData() { return s_highlight; } // may be undefined
    Q_INVOKABLE void uninstallHook() { ++s_uninstalls; }
    static inline StandInMonitor *s_last = nullptr;
    static inline int s_devstatus = 1, s_uninstalls = 0;
    static inline QVariant s_highlight;
    static inline QVariantMap s_frameInfo;
    static inline QString s_portNote;
    static inline QString s_sessionNote;

signals:
    void statusChanged();
    void monitorChanged();
    void portNoteChanged();
};

class TestMainScene : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QUrl m_picture, m_other;
    std::unique_ptr<QQuickView> m_view;
    QQuickItem *m_root = nullptr, *m_frame = nullptr;
    QObject *m_timer = nullptr;
    // In Qt 5 an icon made from a path that names no picture is not null; it just has no sizes.
    static bool loaded(const QIcon &icon) { return !icon.availableSizes().isEmpty(); }

    int prop(const char *name) const { return m_root->property(name).toInt(); }
    // The frame's edge windows that are shown, by place; hidden ones wait left of the desktop.
    static QList<QRect> edgesShown()
    {
        QList<QRect> out;
        for (QWindow *w : QGuiApplication::topLevelWindows())
            if (w->type() == Qt::ToolTip && w->isVisible() && w->geometry().right() >= 0)
                out << w->geometry();
        std::sort(out.begin(), out.end(),
            [](const QRect &a, const QRect &b) { return std::make_pair(a.y(), a.x()) < std::make_pair(b.y(), b.x()); });
        return out;
    }
    bool shown() const { return m_frame->isVisible() || m_timer->property("running").toBool(); }
    void tick() { QMetaObject::invokeMethod(m_timer, "triggered"); }
    void loadScene()
    {
        m_view = std::make_unique<QQuickView>(); // as main() builds it; shown, so that its closing shows
        m_view->setFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput);
        m_view->rootContext()->setContextProperty(QStringLiteral("mainwindow"), m_view.get());
        m_view->setSource(QUrl(QStringLiteral("qrc:/Qml/main.qml")));
        m_view->show();
        QVERIFY((m_root = m_view->rootObject()));
        for (QObject *child : m_root->children()) {
            m_timer = child->inherits("QQmlTimer") ? child : m_timer;
            m_frame = child->inherits("QQuickRectangle") ? qobject_cast<QQuickItem *>(child) : m_frame;
        }
    }

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

    // Online, offline...: each picture read and scaled once, not once more in Qt's cache per change.
    void alternatingIconsKeepTheirPictures()
    {
        SystemTrayIcon tray;
        QSystemTrayIcon *icon = tray.findChild<QSystemTrayIcon *>();
        QSignalSpy changed(&tray, &SystemTrayIcon::iconChanged);
        QHash<QUrl, QPair<qint64, qint64>> keys;
        for (int i = 0; i < 20; ++i) {
            const QUrl url = i % 2 ? m_other : m_picture;
            tray.setIcon(url);
            tray.setIcon(url);
            const auto key = qMakePair(icon->icon().cacheKey(), icon->icon().pixmap(QSize(12, 12)).cacheKey());
            QVERIFY(keys.value(url, key) == key);
            keys.insert(url, key);
        }
        QVERIFY(changed.count() == 20 && keys.value(m_picture) != keys.value(m_other));
        // Ever new pictures: the kept ones are let go, and one that comes back is read again.
        for (int i = 0; i < 20; ++i)
            tray.setIcon(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("none%1.png").arg(i))));
        QVERIFY(!loaded(icon->icon()));
        tray.setIcon(m_picture);
        QVERIFY(loaded(icon->icon()));
    }

    // By the scene's own clock: the four edges drawn, then gone after three seconds of blinking.
    void edgesDrawnAndGone()
    {
        StandInMonitor::s_devstatus = 1;
        StandInMonitor::s_sessionNote.clear();
        StandInMonitor::s_highlight = QVariantMap {{QStringLiteral("status"), 1}, {QStringLiteral("duration"), 1}};
        loadScene();
        QVERIFY(m_root && m_frame && m_timer);
        EdgeFrame edges(m_view.get(), m_frame);
        QSignalSpy drawn(&edges, &EdgeFrame::shown);
        StandInMonitor::s_frameInfo = {{QStringLiteral("x"), 0}, {QStringLiteral("y"), 0},
            {QStringLiteral("width"), 800}, {QStringLiteral("height"), 600}, {QStringLiteral("switchport"), 0}};
        emit StandInMonitor::s_last->monitorChanged();
        QVERIFY(drawn.wait(5000));
        QCOMPARE(edgesShown().size(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(edgesShown().isEmpty() && !shown(), 5000);
        QVERIFY(drawn.size() >= 2); // each blink shows it anew
    }

    // Edges of a frame too small for its border, or of none, still lie inside it.
    void edgesOfSmallFrames()
    {
        const auto edges = [](QRect outline, int border) {
            const auto e = EdgeFrame::edges(outline, border);
            return QList<QRect>(e.begin(), e.end());
        };
        QCOMPARE(edges(QRect(0, 0, 0, 0), 15), QList<QRect>({{}, {}, {}, {}}));
        QCOMPARE(edges(QRect(10, 10, 100, 100), 0), QList<QRect>({{}, {}, {}, {}}));
        QCOMPARE(edges(QRect(5, 5, 40, 20), 15),
            QList<QRect>({QRect(5, 5, 40, 15), QRect(5, 20, 40, 5), QRect(5, 20, 15, 0), QRect(30, 20, 15, 0)}));
    }

    // Relative pictures resolve against the scene; the menu takes the three kinds, in order.
    void trayInAScene()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(import QtQuick 2.15; import vorn.trayicon 1.0
            Item { SystemTray { visible: true; icon: "pic.png"; toolTip: icon + " " + menu.width
                menu: MyMenu { width: 150; MyAction { text: "Open"; icon: "pic.png" } MySeparator {}
                    Item {} MyAction { text: "Exit" } } } })",
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("scene.qml"))));
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        auto *tray = root->findChild<SystemTrayIcon *>();
        QSystemTrayIcon *icon = tray->findChild<QSystemTrayIcon *>();
        QMenu *menu = icon->contextMenu();
        QVERIFY(icon->isVisible() && loaded(icon->icon()) && menu->width() == 150);
        tray->setIcon(m_other);
        QCOMPARE(icon->toolTip(), m_other.toString() + QStringLiteral(" 150")); // bindings hear of the icon
        const int height = menu->height() + 9;
        tray->menu()->setHeight(height);
        tray->menu()->setWidth(160);
        QCOMPARE(icon->toolTip(), m_other.toString() + QStringLiteral(" 160"));
        QVERIFY(menu->size() == QSize(160, height) && menu->minimumSize() == menu->maximumSize());
        const QList<QAction *> a = menu->actions();
        QCOMPARE(a.size(), 3);
        QVERIFY(a[0]->text() == QLatin1String("Open") && loaded(a[0]->icon()) && a[1]->isSeparator()
            && static_cast<MyAction *>(a[0])->icon() == m_picture);
        QCOMPARE(a[2]->text(), QStringLiteral("Exit"));
        qobject_cast<QQuickItem *>(root.data())->setVisible(false);
        QVERIFY(!icon->isVisible());
        // onExit ends the event loop with 0; the timer only stops a hang.
        QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
        QTimer::singleShot(0, tray, &SystemTrayIcon::onExit);
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // A hidden pixel, then a frame on the entered monitor blinking for the switch's duration.
    void highlight_data()
    {
        QTest::addColumn<int>("status"); // -1: no switch
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("seconds");
        QTest::newRow("code 0") << 1 << 0 << 0 << 0;
        QTest::newRow("code 1") << 1 << 1 << 0 << 3;
        QTest::newRow("code 2") << 1 << 2 << 0 << 5;
        QTest::newRow("code 3") << 1 << 3 << 0 << 10;
        QTest::newRow("code 7 like 1") << 1 << 7 << 0 << 3;
        QTest::newRow("highlight off") << 0 << 1 << 0 << 3;
        QTest::newRow("another port") << 1 << 1 << 1 << 3;
        QTest::newRow("no switch") << -1 << 2 << 0 << 3;
        QTest::newRow("a Wayland session") << 1 << 1 << 0 << 3; // the tooltip says crossings need X11
    }
    void highlight()
    {
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(int, port);
        QFETCH(int, seconds);
        StandInMonitor::s_devstatus = status >= 0;
        const bool wayland = QTest::currentDataTag() == QByteArray("a Wayland session");
        StandInMonitor::s_sessionNote = wayland ? QStringLiteral("Crossings need an X11 session.") : QString();
        StandInMonitor::s_highlight = status < 0
            ? QVariant()
            : QVariantMap {{QStringLiteral("status"), status}, {QStringLiteral("duration"), code}};
        loadScene();
        QVERIFY(m_root && m_frame && m_timer);
        EdgeFrame edges(m_view.get(), m_frame);
        auto *tray = m_root->findChild<SystemTrayIcon *>();
        QVERIFY(edgesShown().isEmpty());
        QVERIFY(prop("flash_duration") == seconds && m_view->size() == QSize(1, 1) && !shown());
        QCOMPARE(tray->icon().fileName(), QLatin1String(status < 0 ? "offline.ico" : "kv830mt.ico"));
        QCOMPARE(tray->toolTip(),
            wayland ? QStringLiteral("Spanlink\nCrossings need an X11 session.") : QStringLiteral("Spanlink"));
        QVERIFY(loaded(tray->findChild<QSystemTrayIcon *>()->icon()));
        // The engine's word on its port goes under the name, after the session's.
        StandInMonitor::s_portNote = QStringLiteral("Another agent is on port 2 of the switch");
        emit StandInMonitor::s_last->portNoteChanged();
        QCOMPARE(tray->toolTip(),
            QStringLiteral("Spanlink\n") + (wayland ? QStringLiteral("Crossings need an X11 session.\n") : QString())
                + QStringLiteral("Another agent is on port 2 of the switch"));
        StandInMonitor::s_portNote.clear();
        emit StandInMonitor::s_last->portNoteChanged();
        QCOMPARE(tray->toolTip(),
            wayland ? QStringLiteral("Spanlink\nCrossings need an X11 session.") : QStringLiteral("Spanlink"));
        StandInMonitor::s_frameInfo = {{QStringLiteral("x"), 1920}, {QStringLiteral("y"), 0},
            {QStringLiteral("width"), 1920}, {QStringLiteral("height"), 1080}, {QStringLiteral("switchport"), port}};
        emit StandInMonitor::s_last->monitorChanged();
        if (status < 1 || port) {
            QVERIFY(m_view->size() == QSize(1, 1) && !shown() && edgesShown().isEmpty());
            return;
        }
        QTRY_COMPARE(m_view->geometry(), QRect(1920, 0, 1920, 1079));
        QVERIFY(m_frame->size() == QSizeF(1920, 1079) && m_timer->property("interval").toInt() == 500);
        // Drawn as four edges of the border's width along the monitor's sides, blinking with the frame.
        const QList<QRect> frame {QRect(1920, 0, 1920, 15), QRect(1920, 15, 15, 1049), QRect(3825, 15, 15, 1049),
            QRect(1920, 1064, 1920, 15)};
        QCOMPARE(edgesShown(), frame);
        QList<bool> seen, blink;
        for (int i = 0; i < (seconds ? seconds * 2 : 40); ++i) {
            seen << m_frame->isVisible();
            blink << (i % 2 == 0);
            QCOMPARE(edgesShown(), m_frame->isVisible() ? frame : QList<QRect>());
            tick();
        }
        QCOMPARE(seen, blink);
        QCOMPARE(shown(), !seconds);
        QCOMPARE(edgesShown().isEmpty(), !!seconds);
        // The switch is lost: no frame, not even between two blinks, and the offline icon.
        StandInMonitor::s_devstatus = 0;
        emit StandInMonitor::s_last->statusChanged();
        QVERIFY(!shown() && edgesShown().isEmpty() && tray->icon().fileName() == QLatin1String("offline.ico"));
        // Quit removes the hooks and closes the scene.
        const int uninstalls = StandInMonitor::s_uninstalls;
        auto *quit = m_root->findChild<MyAction *>();
        QVERIFY(quit && quit->text() == QLatin1String("Quit"));
        quit->trigger();
        QVERIFY(StandInMonitor::s_uninstalls == uninstalls + 1 && !m_view->isVisible());
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
