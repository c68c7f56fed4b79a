// The main scene's logic, driven through a stand-in engine registered as "Monitor", in the
// real view with the real tray types.

#include "SystemTrayIcon/systemtrayicon.h"

#include <QApplication>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QSGRendererInterface>
#include <QtQml>
#include <QtTest>

class StandInMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int devstatus READ devstatus NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap frameInfo READ frameInfo NOTIFY monitorChanged)

public:
    explicit StandInMonitor(QObject *parent = nullptr)
        : QObject(parent)
    {
        s_last = this;
    }
    int devstatus() const { return s_devstatus; }
    QVariantMap frameInfo() const { return s_frameInfo; }
    Q_INVOKABLE bool connectDevice() { return s_devstatus; }
    // A QVariant, so that a test can hand the scene an undefined value.
    Q_INVOKABLE QVariant getMouseHighlightData() { return s_highlight; }
    Q_INVOKABLE void uninstallHook() { ++s_uninstalls; }

    void arrive(int x, int y, int w, int h, int switchport = 0)
    {
        s_frameInfo = {{QStringLiteral("x"), x}, {QStringLiteral("y"), y}, {QStringLiteral("width"), w},
            {QStringLiteral("height"), h}, {QStringLiteral("switchport"), switchport}};
        emit monitorChanged();
    }
    void setStatus(int status)
    {
        s_devstatus = status;
        emit statusChanged();
    }

    static inline StandInMonitor *s_last = nullptr;
    static inline int s_devstatus = 1;
    static inline QVariant s_highlight;
    static inline QVariantMap s_frameInfo;
    static inline int s_uninstalls = 0;

signals:
    void statusChanged();
    void monitorChanged();
};

class TestMainScene : public QObject
{
    Q_OBJECT

    std::unique_ptr<QQuickView> m_view;
    QQuickItem *m_root = nullptr;
    QQuickItem *m_frame = nullptr;
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
        QCOMPARE(m_view->status(), QQuickView::Ready);
        m_view->show();
        m_root = m_view->rootObject();
        m_frame = nullptr, m_timer = nullptr;
        for (QObject *child : m_root->children()) {
            if (child->metaObject()->className() == QByteArray("QQmlTimer"))
                m_timer = child;
            else if (child->metaObject()->className() == QByteArray("QQuickRectangle"))
                m_frame = qobject_cast<QQuickItem *>(child);
        }
        QVERIFY(m_frame && m_timer);
    }

    int prop(const char *name) const { return m_root->property(name).toInt(); }
    bool blinking() const { return m_timer->property("running").toBool(); }
    void tick() { QMetaObject::invokeMethod(m_timer, "triggered"); }
    StandInMonitor *engine() const { return StandInMonitor::s_last; }
    QString trayPicture() const { return m_root->findChild<SystemTrayIcon *>()->icon().fileName(); }

private slots:
    void initTestCase()
    {
        qmlRegisterType<MyMenu>("vorn.trayicon", 1, 0, "MyMenu");
        qmlRegisterType<MyAction>("vorn.trayicon", 1, 0, "MyAction");
        qmlRegisterType<MySeparator>("vorn.trayicon", 1, 0, "MySeparator");
        qmlRegisterType<SystemTrayIcon>("vorn.trayicon", 1, 0, "SystemTray");
        qmlRegisterType<StandInMonitor>("Qt.Quick.Monitor", 1, 0, "Monitor");
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
        QCOMPARE(m_view->size(), QSize(1, 1));
        QVERIFY(!m_frame->isVisible() && !blinking());
        QCOMPARE(trayPicture(), QStringLiteral("kv830mt.ico"));
        QCOMPARE(m_root->findChild<SystemTrayIcon *>()->toolTip(), QStringLiteral("Spanlink"));
    }

    void offlineAtStartReadsNothing()
    {
        StandInMonitor::s_highlight = QVariant();
        load(1, 3, false);
        QCOMPARE(prop("flash_enable"), 0);
        QCOMPARE(prop("flash_duration"), 3);
        QCOMPARE(trayPicture(), QStringLiteral("offline.ico"));
        // The switch comes, but its settings cannot be read: the old ones stay.
        engine()->setStatus(1);
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
        engine()->arrive(1920, 0, 1920, 1080, port);
        QCOMPARE(m_view->geometry(), before);
        QVERIFY(!m_frame->isVisible() && !blinking());
    }

    void frameCoversTheEnteredMonitorAndBlinks()
    {
        load(1, 1); // three seconds: six half-second ticks
        engine()->arrive(1920, 0, 1920, 1080);
        QTRY_COMPARE(m_view->geometry(), QRect(1920, 0, 1920, 1079));
        QCOMPARE(m_frame->size(), QSizeF(1920, 1079));
        QCOMPARE(m_frame->property("border").value<QObject *>()->property("width").toInt(), 15);
        QCOMPARE(m_timer->property("interval").toInt(), 500);
        QList<bool> seen;
        for (int i = 0; i < 6; ++i, tick())
            seen << m_frame->isVisible();
        QCOMPARE(seen, QList<bool>({true, false, true, false, true, false}));
        QVERIFY(!m_frame->isVisible() && !blinking());
        QCOMPARE(prop("count"), 1);

        // Code 0 blinks on until something changes.
        load(1, 0);
        engine()->arrive(0, 0, 800, 600);
        for (int i = 0; i < 40; ++i)
            tick();
        QVERIFY(blinking());
    }

    void changesStopTheBlinking()
    {
        load(1, 3);
        engine()->arrive(0, 0, 800, 600);
        tick(), tick(), tick();
        QCOMPARE(prop("count"), 4);
        // Another monitor of this computer: the blinking starts again there.
        engine()->arrive(800, 0, 1024, 768);
        QCOMPARE(prop("count"), 1);
        QVERIFY(m_frame->isVisible());
        QTRY_COMPARE(m_view->geometry(), QRect(800, 0, 1024, 767));
        // The switch is lost: frame hidden, blinking over, offline icon.
        tick();
        engine()->setStatus(0);
        QVERIFY(!m_frame->isVisible() && !blinking());
        QCOMPARE(prop("count"), 1);
        QCOMPARE(trayPicture(), QStringLiteral("offline.ico"));
    }

    void quitRemovesTheHooksAndCloses()
    {
        load(1, 1);
        const int before = StandInMonitor::s_uninstalls;
        auto *quit = m_root->findChild<MyAction *>();
        QCOMPARE(quit->text(), QStringLiteral("Quit"));
        quit->trigger();
        QCOMPARE(StandInMonitor::s_uninstalls, before + 1);
        QVERIFY(!m_view->isVisible());
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
