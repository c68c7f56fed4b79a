// The agent as a user meets it, on an X server of the test's own with a tray host (trayer):
// the tray icon, its "Quit", and the alert box of a second start. Screenshots of each step go
// to desktop-shots/ in the build tree; the assertions read their pixels.

#include "xdesktop.h"
#include "xvfb.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
QString s_display;

QProcessEnvironment environment(const QString &tmp, const QString &name)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), s_display);
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp);
    env.insert(QStringLiteral("XDG_DATA_HOME"), tmp + QStringLiteral("/data-") + name);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

QByteArray run(const QString &program, const QStringList &args)
{
    return XDesktop::run(s_display, program, args);
}

void xdo(const QStringList &args)
{
    run(QStringLiteral("xdotool"), args);
}

QImage screenshot(const QString &name)
{
    return XDesktop::screenshot(s_display, QStringLiteral("desktop-shots/") + name + QStringLiteral(".png"));
}

// Top-level windows named "Spanlink" of a given size.
QList<QRect> windows(const QSize &size)
{
    QList<QRect> found;
    const QRegularExpression line(
        QStringLiteral("\"Spanlink\".*\\s(\\d+)x(\\d+)\\+-?\\d+\\+-?\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)"));
    for (const QString &l : XDesktop::tree(s_display).split(QLatin1Char('\n'))) {
        const auto m = line.match(l);
        if (m.hasMatch() && QSize(m.captured(1).toInt(), m.captured(2).toInt()) == size)
            found.append(QRect(m.captured(3).toInt(), m.captured(4).toInt(), size.width(), size.height()));
    }
    return found;
}

QRect trayIcon()
{
    return XDesktop::trayIcon(s_display);
}

using XDesktop::mean;
using XDesktop::pixelsNear;

class Agent
{
public:
    Agent(const QString &binary, const QString &tmp, const QString &name)
    {
        m_process.setProcessEnvironment(environment(tmp, name));
        m_process.start(binary, QStringList());
    }
    ~Agent()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QProcess m_process;
};
} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    std::unique_ptr<Xvfb> m_server;
    QProcess m_trayer;
    QTemporaryDir m_tmp;

    void quitThroughTheMenu(Agent &agent, const QRect &icon)
    {
        xdo({QStringLiteral("mousemove"), QString::number(icon.center().x()), QString::number(icon.center().y())});
        xdo({QStringLiteral("click"), QStringLiteral("3")});
        // The menu opens below the icon: a light area where the desktop was black.
        const QRect below(icon.right() - 150, icon.bottom() + 2, 150, 20);
        QTRY_VERIFY(pixelsNear(screenshot(QStringLiteral("tray-menu")), below, Qt::white, 60) > 500);
        xdo({QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Return")});
        QVERIFY(agent.m_process.waitForFinished(10000));
        QCOMPARE(agent.m_process.exitStatus(), QProcess::NormalExit);
        if (agent.m_process.exitCode() != 0)
            qWarning().noquote() << agent.m_process.readAllStandardError().right(8000);
        QCOMPARE(agent.m_process.exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "import"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        m_server = std::make_unique<Xvfb>();
        if (!m_server->start(QStringLiteral("1280x800x24")))
            QSKIP("Xvfb could not be started");
        s_display = m_server->display();
        m_trayer.setProcessEnvironment(environment(m_tmp.path(), QStringLiteral("trayer")));
        m_trayer.start(QStringLiteral("trayer"), XDesktop::trayerArguments());
        QVERIFY(m_trayer.waitForStarted(5000));
    }

    void cleanupTestCase()
    {
        if (m_trayer.state() != QProcess::NotRunning) {
            m_trayer.kill();
            m_trayer.waitForFinished(3000);
        }
    }

    void offlineIconAndQuit()
    {
        Agent agent(QStringLiteral(SPANLINK_BINARY), m_tmp.path(), QStringLiteral("offline"));
        QTRY_VERIFY_WITH_TIMEOUT(trayIcon().isValid(), 15000);
        const QRect icon = trayIcon();
        // Grey: no channel stands out, and darker than the panel around it.
        const auto grey = [&] {
            const QColor c = mean(screenshot(QStringLiteral("tray-offline")), icon);
            return qAbs(c.blue() - c.red()) < 25 && c.red() < 200;
        };
        QTRY_VERIFY(grey());
        quitThroughTheMenu(agent, icon);
    }

    void onlineIcon()
    {
        Agent agent(QStringLiteral(SPANLINK_TESTAGENT), m_tmp.path(), QStringLiteral("online"));
        QTRY_VERIFY_WITH_TIMEOUT(trayIcon().isValid(), 15000);
        const QRect icon = trayIcon();
        QTRY_VERIFY([&] {
            const QColor c = mean(screenshot(QStringLiteral("tray-online")), icon);
            return c.blue() > c.red() + 40;
        }());
        quitThroughTheMenu(agent, icon);
    }

    void alertOfASecondStart()
    {
        Agent first(QStringLiteral(SPANLINK_BINARY), m_tmp.path(), QStringLiteral("first"));
        QTRY_VERIFY_WITH_TIMEOUT(trayIcon().isValid(), 15000);

        for (const char *button : {"ok", "cross"}) {
            xdo({QStringLiteral("mousemove"), QStringLiteral("900"), QStringLiteral("600")}); // away from the box
            Agent second(QStringLiteral(SPANLINK_BINARY), m_tmp.path(), QStringLiteral("second"));
            QTRY_VERIFY_WITH_TIMEOUT(windows(QSize(380, 200)).size() == 1, 15000);
            const QRect box = windows(QSize(380, 200)).first();
            const QRect okButton = QRect(300, 155, 65, 30).translated(box.topLeft());
            // Inside the button's border: only the caption is drawn there.
            const QRect okCaption = okButton.adjusted(10, 6, -10, -6);
            const QColor normal(0x08, 0x45, 0x76);
            const QColor hover(0x44, 0x9A, 0xBE);
            const QRect titleBar(box.left() + 100, box.top() + 5, 200, 15);
            QTRY_VERIFY(pixelsNear(screenshot(QStringLiteral("alert")), titleBar, QColor(0x08, 0x45, 0x76), 10) > 2000);
            const QImage shot = screenshot(QStringLiteral("alert"));
            // Words in dark blue right of the picture, and the orange picture itself.
            QVERIFY(
                pixelsNear(shot, QRect(box.left() + 90, box.top() + 55, 250, 20), QColor(0x08, 0x45, 0x76), 120) > 30);
            QVERIFY(
                pixelsNear(shot, QRect(box.left() + 25, box.top() + 55, 45, 45), QColor(0xF3, 0x9C, 0x12), 90) > 300);
            // The caption's core pixels have its colour; antialiased edges lie in between.
            QVERIFY(pixelsNear(shot, okCaption, normal, 30) > 5);

            xdo({QStringLiteral("mousemove"), QString::number(okCaption.center().x()),
                QString::number(okCaption.center().y())});
            QTRY_VERIFY(pixelsNear(screenshot(QStringLiteral("alert-hover")), okCaption, normal, 30) == 0);
            QVERIFY(pixelsNear(screenshot(QStringLiteral("alert-hover")), okCaption, hover, 30) > 5);
            xdo({QStringLiteral("mousemove"), QString::number(box.left() + 50), QString::number(box.top() + 150)});
            QTRY_VERIFY(pixelsNear(screenshot(QStringLiteral("alert-left")), okCaption, normal, 30) > 5);

            const QPoint target = qstrcmp(button, "ok") == 0 ? okCaption.center() : box.topLeft() + QPoint(365, 12);
            xdo({QStringLiteral("mousemove"), QString::number(target.x()), QString::number(target.y())});
            xdo({QStringLiteral("click"), QStringLiteral("1")});
            QVERIFY2(second.m_process.waitForFinished(10000), button);
            if (second.m_process.exitCode() != 0)
                qWarning().noquote() << second.m_process.readAllStandardError().right(8000);
            QCOMPARE(second.m_process.exitCode(), 0);
        }
        QCOMPARE(first.m_process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
