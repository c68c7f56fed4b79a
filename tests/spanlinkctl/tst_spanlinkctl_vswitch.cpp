// spanlinkctl-virtual as a user runs it: detect on an X server with two screens.

#include "xvfb.h"

#include <QtTest>

class TestSpanlinkCtlVswitch : public QObject
{
    Q_OBJECT

private slots:
    // Qt reports each X screen as a desktop of its own, which detect puts side by side.
    void detectOnTwoScreens()
    {
        Xvfb x;
        NEED("Xvfb");
        if (!x.start(QStringList {QStringLiteral("1280x1024x24"), QStringLiteral("1024x768x24")}))
            QSKIP("Xvfb does not start here");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), x.display());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess ctl;
        ctl.setProcessEnvironment(env);
        ctl.start(
            QStringLiteral(CTL_BINARY), QString::fromLatin1("layout detect --port 2 --at 1,2").split(QLatin1Char(' ')));
        QVERIFY(ctl.waitForFinished(30000)); // or it is killed with the QProcess
        const QByteArray err = ctl.readAllStandardError();
        QVERIFY2(ctl.exitStatus() == QProcess::NormalExit && ctl.exitCode() == 0, err.constData());
        QCOMPARE(QJsonDocument::fromJson(ctl.readAllStandardOutput()).object(),
            QJsonDocument::fromJson(R"({"monitors": [
            {"port": 2, "index": 1, "row": 1, "col": 2, "width": 1280, "height": 1024},
            {"port": 2, "index": 2, "row": 1, "col": 3, "width": 1024, "height": 768}]})")
                .object());
        // The second screen is narrower than a column of the first: the nearest cell, which the agent
        // finds its monitor in, so no warning.
        QVERIFY2(!err.contains("warning"), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtlVswitch)
#include "tst_spanlinkctl_vswitch.moc"
