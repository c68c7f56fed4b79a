// One agent at a time, with real processes of the agent: a later start hands its last
// argument to the first instance and shows only the alert.

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
// An agent process with a data folder of its own, so that each one's log can be read apart;
// all of them share one temporary folder, where the local server's socket lives.
class Agent
{
public:
    Agent(const QString &tmp, const QString &name, const QStringList &args = {})
        : m_data(tmp + QStringLiteral("/data-") + name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_data);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp);
        // No X display: the agent hooks nothing, says so, and runs on.
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(SPANLINK_BINARY), args);
    }
    ~Agent() { kill(); }

    void kill()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QByteArray log() const
    {
        QFile file(m_data + QStringLiteral("/VORN/Spanlink/log") + QDate::currentDate().toString(Qt::ISODate)
            + QStringLiteral(".txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QProcess m_process;

private:
    QString m_data;
};

// What only a first instance writes: it tried the switch and the hooks.
bool touchedSwitchOrHooks(const QByteArray &log)
{
    return log.contains("hid_init") || log.contains("Connection device fail") || log.contains("KB Hook Failed");
}
} // namespace

class TestQSingleApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

private slots:
    void secondStartsHandOverTheirArgument()
    {
        QVERIFY(m_tmp.isValid());
        Agent first(m_tmp.path(), QStringLiteral("first"));
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("KB Hook Failed"), 15000);
        QVERIFY(!first.log().contains("Have already connected to server."));
        QCOMPARE(first.m_process.state(), QProcess::Running);

        Agent second(m_tmp.path(), QStringLiteral("second"), {QStringLiteral("--show now")});
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("Debug: \"The value is: --show\" ("), 15000);
        QVERIFY(second.log().contains("Have already connected to server."));
        QVERIFY(second.m_process.state() == QProcess::Running); // it shows the alert
        QVERIFY(!touchedSwitchOrHooks(second.log()));

        Agent third(m_tmp.path(), QStringLiteral("third"));
        QTRY_VERIFY_WITH_TIMEOUT(first.log().count("The value is:") == 2, 15000);
        QVERIFY(first.log().contains("Debug: \"The value is: \" ("));
        QVERIFY(!touchedSwitchOrHooks(third.log()));
    }

    void staleSocketIsRecovered()
    {
        auto killed = std::make_unique<Agent>(m_tmp.path(), QStringLiteral("killed"));
        QTRY_VERIFY_WITH_TIMEOUT(killed->log().contains("KB Hook Failed"), 15000);
        killed.reset(); // SIGKILL: the socket file stays behind
        QVERIFY(QFile::exists(m_tmp.path() + QStringLiteral("/VORNSpanlink")));

        Agent next(m_tmp.path(), QStringLiteral("next"));
        QTRY_VERIFY_WITH_TIMEOUT(next.log().contains("KB Hook Failed"), 15000);
        QVERIFY(!next.log().contains("Have already connected to server."));

        Agent later(m_tmp.path(), QStringLiteral("later"), {QStringLiteral("x")});
        QTRY_VERIFY_WITH_TIMEOUT(next.log().contains("\"The value is: x\""), 15000);
    }
};

QTEST_GUILESS_MAIN(TestQSingleApplication)
#include "tst_qsingleapplication.moc"
