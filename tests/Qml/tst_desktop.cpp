// The agent on an X server of its own with trayer; screenshots go to desktop-shots/.

#include "xdesktop.h"
#include "xvfb.h"

#include <QtTest>

using XDesktop::pixelsNear;

class TestDesktop : public QObject
{
    Q_OBJECT

    Xvfb m_server;
    QProcess m_trayer;
    QTemporaryDir m_tmp;

    void start(QProcess &p, const QString &binary, const QString &name, const QStringList &args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_tmp.path());
        env.insert(QStringLiteral("DISPLAY"), m_server.display());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_tmp.path() + QStringLiteral("/data-") + name);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        p.setProcessEnvironment(env);
        p.start(binary, args);
    }
    void xdo(const QString &args)
    {
        XDesktop::run(m_server.display(), QStringLiteral("xdotool"), args.split(QLatin1Char(' ')));
    }
    void click(const QPoint &p, int button)
    {
        xdo(QStringLiteral("mousemove %1 %2 click %3").arg(p.x()).arg(p.y()).arg(button));
    }
    QImage shot(const char *name)
    {
        return XDesktop::screenshot(
            m_server.display(), QStringLiteral("desktop-shots/%1.png").arg(QLatin1String(name)));
    }
    static bool ended(QProcess &p) { return p.waitForFinished(10000) && !p.exitStatus() && !p.exitCode(); } // normal, 0

private slots:
    void initTestCase()
    {
        NEED("Xvfb", "trayer", "xdotool", "xwininfo", "import");
        if (!m_server.start(QStringLiteral("1280x800x24")))
            QSKIP("Xvfb could not be started");
        start(m_trayer, QStringLiteral("trayer"), QStringLiteral("trayer"), XDesktop::trayerArguments());
        QVERIFY(m_trayer.waitForStarted(5000));
    }
    void cleanupTestCase()
    {
        m_trayer.kill();
        m_trayer.waitForFinished(3000);
    }

    // Grey without a switch, blue with one; "Quit" in the menu below the icon ends the agent.
    void trayIconAndQuit_data()
    {
        QTest::addColumn<QString>("binary");
        QTest::addColumn<bool>("online");
        QTest::newRow("offline") << QStringLiteral(SPANLINK_BINARY) << false;
        QTest::newRow("online") << QStringLiteral(SPANLINK_TESTAGENT) << true;
    }
    void trayIconAndQuit()
    {
        QFETCH(QString, binary);
        QFETCH(bool, online);
        QProcess agent;
        start(agent, binary, QLatin1String(QTest::currentDataTag()));
        QTRY_VERIFY_WITH_TIMEOUT(XDesktop::trayIcon(m_server.display()).isValid(), 15000);
        const QRect icon = XDesktop::trayIcon(m_server.display());
        QTRY_VERIFY([&] {
            const QColor c = XDesktop::mean(shot(online ? "tray-online" : "tray-offline"), icon);
            return online ? c.blue() > c.red() + 40 : qAbs(c.blue() - c.red()) < 25 && c.red() < 200;
        }());
        click(icon.center(), 3);
        // The menu opens below the icon: a light area where the desktop was black.
        const QRect below(icon.right() - 150, icon.bottom() + 2, 150, 20);
        QTRY_VERIFY(pixelsNear(shot("tray-menu"), below, Qt::white, 60) > 500);
        xdo(QStringLiteral("key Down Return"));
        QVERIFY(ended(agent));
    }

    // A dark blue title, the orange picture, and an OK button and a cross that both end it.
    void alertOfASecondStart()
    {
        QProcess first;
        start(first, QStringLiteral(SPANLINK_BINARY), QStringLiteral("first"));
        QTRY_VERIFY_WITH_TIMEOUT(XDesktop::trayIcon(m_server.display()).isValid(), 15000);
        const QColor blue(0x08, 0x45, 0x76);
        const QRegularExpression alert(
            QStringLiteral("\"Spanlink\".*\\s380x200\\+-?\\d+\\+-?\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)"));
        for (const QPoint button : {QPoint(332, 170), QPoint(365, 12)}) {
            xdo(QStringLiteral("mousemove 900 600")); // away from the box
            QProcess second;
            start(second, QStringLiteral(SPANLINK_BINARY), QStringLiteral("second"));
            QRegularExpressionMatch m;
            QTRY_VERIFY_WITH_TIMEOUT((m = alert.match(XDesktop::tree(m_server.display()))).hasMatch(), 15000);
            const QPoint box(m.captured(1).toInt(), m.captured(2).toInt());
            QTRY_VERIFY(pixelsNear(shot("alert"), QRect(box + QPoint(100, 5), QSize(200, 15)), blue, 10) > 2000);
            QVERIFY(pixelsNear(shot("alert"), QRect(box + QPoint(25, 55), QSize(45, 45)), QColor(0xF3, 0x9C, 0x12), 90)
                > 300);
            click(box + button, 1);
            QVERIFY(ended(second));
        }
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        first.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
