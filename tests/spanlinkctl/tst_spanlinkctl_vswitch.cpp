// spanlinkctl-virtual as a user runs it: against the virtual switch daemon, and detect on an
// X server with two screens.

#include "xvfb.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
struct Result {
    int code = -1;
    QByteArray out, err;
};
QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}
QByteArray layout(const QByteArray &monitors, int position)
{
    return R"({"monitors": [)" + monitors + R"(], "mouse": {"position": )" + QByteArray::number(position) + "}}";
}
const QByteArray s_port1 = R"({"port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080})";
const QByteArray s_first = s_port1 + R"(, {"port": 2, "index": 1, "row": 1, "col": 2, "width": 2560, "height": 1440})";
} // namespace

class TestSpanlinkCtlVswitch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcess m_switch;
    QString m_socket = m_tmp.filePath(QStringLiteral("switch"));

    QString write(const QString &name, const QByteArray &content)
    {
        QFile f(m_tmp.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName() : QString();
    }
    Result ctl(const QString &line, const QString &display = {}, const QString &socket = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), socket.isEmpty() ? m_socket : socket);
        if (!display.isEmpty()) {
            env.insert(QStringLiteral("DISPLAY"), display);
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        }
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(CTL_BINARY), line.split(QLatin1Char(' ')));
        Result r;
        if (!p.waitForFinished(30000))
            p.kill();
        p.waitForFinished(3000);
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

private slots:
    void initTestCase()
    {
        const QString file = write(QStringLiteral("switch.json"),
            R"({"ports": [{"port": 1}, {"port": 2}], "mousePosition": 4, "monitors": [)" + s_first + "]}");
        m_switch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_switch.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), m_socket, file});
        while (!QFile::exists(m_socket) && m_switch.waitForReadyRead(5000))
            m_switch.readAll();
        QVERIFY(QFile::exists(m_socket));
    }
    void cleanupTestCase()
    {
        m_switch.kill();
        m_switch.waitForFinished(3000);
    }

    // What was exported loads back; an upload reads back as the file said.
    void roundTrip()
    {
        const Result exported = ctl(QStringLiteral("layout --json"));
        QCOMPARE(exported.code, 0);
        QCOMPARE(json(exported.out), json(layout(s_first, 4)));
        QVERIFY2(ctl(QStringLiteral("layout")).out.contains("| 2 2560x1440"), exported.err.constData());
        QCOMPARE(ctl(QStringLiteral("layout load ") + write(QStringLiteral("exported.json"), exported.out)).code, 0);
        const QByteArray second = layout(s_port1 + R"(, {"port": 2, "index": 1, "row": 2, "col": 3, "width": 1280,
            "height": 1024}, {"port": 1, "index": 2, "row": 1, "col": 2, "width": 3840, "height": 2160})",
            5);
        const Result loaded = ctl(QStringLiteral("layout load ") + write(QStringLiteral("second.json"), second));
        QVERIFY2(loaded.code == 0, loaded.err.constData());
        QCOMPARE(json(ctl(QStringLiteral("layout --json")).out), json(second));
        const Result none = ctl(QStringLiteral("status"), {}, m_tmp.filePath(QStringLiteral("nothing")));
        QVERIFY2(none.code == 1 && none.err.startsWith("spanlinkctl: no switch answers"), none.err.constData());
    }

    // Two X screens: Qt reports each as a desktop of its own, which detect puts side by side.
    void detectOnTwoScreens()
    {
        Xvfb x;
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
            || !x.start(QStringList {QStringLiteral("1280x1024x24"), QStringLiteral("1024x768x24")}))
            QSKIP("Xvfb does not start here");
        const QByteArray merged = R"({"port": 2, "index": 1, "row": 1, "col": 2, "width": 1280, "height": 1024},
            {"port": 2, "index": 2, "row": 1, "col": 3, "width": 1024, "height": 768})";
        const Result r = ctl(QStringLiteral("layout detect --port 2 --at 1,2"), x.display());
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(json(r.out), json("{\"monitors\": [" + merged + "]}"));
        // The second screen is narrower than a column of the first: the nearest cell, and a warning.
        QVERIFY2(r.err.contains("warning: screen 2 (1024x768 at 1280,0) does not tile the grid"), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtlVswitch)
#include "tst_spanlinkctl_vswitch.moc"
