// spanlinkctl-virtual as a user runs it: detect on an X server with two screens, and the result
// loaded into the virtual switch daemon and read back.

#include "xvfb.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestSpanlinkCtlVswitch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QByteArray ctl(const QString &line, QProcessEnvironment env, int &code, QByteArray *err = nullptr)
    {
        QProcess p;
        env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), m_tmp.filePath(QStringLiteral("switch")));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(CTL_BINARY), line.split(QLatin1Char(' ')));
        if (!p.waitForFinished(30000))
            p.kill();
        p.waitForFinished(3000);
        code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        if (err)
            *err = p.readAllStandardError();
        return p.readAllStandardOutput();
    }

    static bool write(const QString &path, const QByteArray &content)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }

private slots:
    // Qt reports each X screen as a desktop of its own, which detect puts side by side.
    void detectAndLoad()
    {
        Xvfb x;
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
            || !x.start(QStringList {QStringLiteral("1280x1024x24"), QStringLiteral("1024x768x24")}))
            QSKIP("Xvfb does not start here");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), x.display());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        int code = -1;
        QByteArray err;
        const QByteArray detected = ctl(QStringLiteral("layout detect --port 2 --at 1,2"), env, code, &err);
        QVERIFY2(code == 0, err.constData());
        const QByteArray merged = R"({"port": 2, "index": 1, "row": 1, "col": 2, "width": 1280, "height": 1024},
            {"port": 2, "index": 2, "row": 1, "col": 3, "width": 1024, "height": 768})";
        QCOMPARE(QJsonDocument::fromJson(detected).object(),
            QJsonDocument::fromJson("{\"monitors\": [" + merged + "]}").object());
        // The second screen is narrower than a column of the first: the nearest cell, and a warning.
        QVERIFY2(err.contains("warning: screen 2 (1024x768 at 1280,0) does not tile the grid"), err.constData());

        // Merged with the other computer's monitor, it is a layout the switch takes.
        const QByteArray layout = R"({"mouse": {"position": 4}, "monitors": [{"port": 1, "index": 1, "row": 1, "col": 1,
            "width": 1920, "height": 1080}, )"
            + merged + "]}";
        const QString file = m_tmp.filePath(QStringLiteral("layout.json")), empty = m_tmp.filePath(QStringLiteral("e"));
        QVERIFY(write(file, layout) && write(empty, R"({"ports": [{"port": 1}, {"port": 2}]})"));
        QProcess vswitch;
        vswitch.start(
            QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), m_tmp.filePath(QStringLiteral("switch")), empty});
        QTRY_VERIFY(QFile::exists(m_tmp.filePath(QStringLiteral("switch"))));
        ctl(QStringLiteral("layout load ") + file, env, code, &err);
        QVERIFY2(code == 0, err.constData());
        QCOMPARE(QJsonDocument::fromJson(ctl(QStringLiteral("layout --json"), env, code)).object(),
            QJsonDocument::fromJson(layout).object());
        vswitch.kill();
        vswitch.waitForFinished(3000);
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtlVswitch)
#include "tst_spanlinkctl_vswitch.moc"
