// One agent at a time, with real processes of the agent: a later start hands its last
// argument to the first instance and shows only the alert.

#include <QDate>
#include <QFile>
#include <QLibraryInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace
{
// An agent process with a data folder of its own, so that each one's log can be read apart.
// All of them share one temporary folder; each user has a runtime folder, where the local
// server's socket lives.
class Agent
{
public:
    // `environment` holds further NAME=value settings, such as another platform or a display.
    Agent(const QString &tmp, const QString &name, const QStringList &args = {},
        const QString &user = QStringLiteral("me"), const QStringList &environment = {})
        : m_data(tmp + QStringLiteral("/data-") + name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_data);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir(tmp, user));
        // No X display: the agent hooks nothing, says so, and runs on.
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const QString &setting : environment)
            env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(SPANLINK_BINARY), args);
    }
    ~Agent() { kill(); }

    // A runtime folder as the session makes it: the user's own, closed to everyone else.
    static QString runtimeDir(const QString &tmp, const QString &user)
    {
        const QString dir = tmp + QStringLiteral("/run-") + user;
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return dir;
    }
    static QString socketPath(const QString &tmp, const QString &user = QStringLiteral("me"))
    {
        return runtimeDir(tmp, user) + QStringLiteral("/VORNSpanlink");
    }

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

    // Its own messages stay readable after it has ended.
    QByteArray stderrText()
    {
        m_stderr += m_process.readAllStandardError();
        return m_stderr;
    }

    QProcess m_process;

private:
    QString m_data;
    QByteArray m_stderr;
};

// What only a first instance writes: it tried the switch and the hooks.
bool touchedSwitchOrHooks(const QByteArray &log)
{
    return log.contains("hid_init") || log.contains("Connection device fail") || log.contains("KB Hook Failed");
}

QByteArray loggedWord(const QByteArray &word)
{
    return "Debug: \"The value is: " + word + "\" (";
}
} // namespace

class TestQSingleApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::unique_ptr<Agent> m_reader;

private slots:
    void cleanupTestCase() { m_reader.reset(); }

    void secondStartsHandOverTheirArgument()
    {
        QVERIFY(m_tmp.isValid());
        Agent first(m_tmp.path(), QStringLiteral("first"));
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("KB Hook Failed"), 15000);
        QVERIFY(!first.log().contains("Have already connected to server."));
        QCOMPARE(first.m_process.state(), QProcess::Running);
        // Only this user may connect.
        const QFileInfo socket(Agent::socketPath(m_tmp.path()));
        QVERIFY(socket.exists());
        QCOMPARE(socket.permissions()
                & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
                    | QFile::ExeUser),
            QFile::Permissions());

        Agent second(m_tmp.path(), QStringLiteral("second"), {QStringLiteral("--show now")});
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains(loggedWord("--show")), 15000);
        QVERIFY(second.log().contains("Have already connected to server."));
        QVERIFY(second.m_process.state() == QProcess::Running); // it shows the alert
        QVERIFY(!touchedSwitchOrHooks(second.log()));

        Agent third(m_tmp.path(), QStringLiteral("third"));
        QTRY_VERIFY_WITH_TIMEOUT(first.log().count("The value is:") == 2, 15000);
        QVERIFY(first.log().contains(loggedWord("")));
        QVERIFY(!touchedSwitchOrHooks(third.log()));
    }

    void staleSocketIsRecovered()
    {
        auto killed = std::make_unique<Agent>(m_tmp.path(), QStringLiteral("killed"));
        QTRY_VERIFY_WITH_TIMEOUT(killed->log().contains("KB Hook Failed"), 15000);
        killed.reset(); // SIGKILL: the socket file stays behind
        QVERIFY(QFile::exists(Agent::socketPath(m_tmp.path())));

        Agent next(m_tmp.path(), QStringLiteral("next"));
        QTRY_VERIFY_WITH_TIMEOUT(next.log().contains("KB Hook Failed"), 15000);
        QVERIFY(!next.log().contains("Have already connected to server."));

        Agent later(m_tmp.path(), QStringLiteral("later"), {QStringLiteral("x")});
        QTRY_VERIFY_WITH_TIMEOUT(next.log().contains(loggedWord("x")), 15000);
    }

    // Connections that send nothing are each given a second, side by side: a later start
    // arriving behind twenty of them is still heard at once.
    void silentConnectionsHoldNothing()
    {
        Agent first(m_tmp.path(), QStringLiteral("silent-first"));
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("KB Hook Failed"), 15000);
        std::vector<std::unique_ptr<QLocalSocket>> silent;
        for (int i = 0; i < 20; ++i) {
            silent.push_back(std::make_unique<QLocalSocket>());
            silent.back()->connectToServer(Agent::socketPath(m_tmp.path()));
            QVERIFY(silent.back()->waitForConnected(5000));
        }
        Agent later(m_tmp.path(), QStringLiteral("silent-later"), {QStringLiteral("behind")});
        // One after the other, the twenty would take twenty seconds.
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains(loggedWord("behind")), 10000);
        for (auto &socket : silent)
            QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(first.log().count(loggedWord("")), 20);
    }

    void wordIsCappedAndPrintable_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("10 MB") << QByteArray(10 * 1024 * 1024, 'A') << QByteArray(256, 'A');
        QTest::newRow("control characters") << QByteArray("a\x01\x7f", 3) << QByteArray("a\\u0001\\u007F");
        QTest::newRow("a zero byte") << QByteArray("n\0n", 3) << QByteArray("n\\u0000n");
        QTest::newRow("bytes that do not decode") << QByteArray("a\xff\xc3z") << QByteArray("a\\uDCFF\\uDCC3z");
        QTest::newRow("a backslash is not an escape") << QByteArray("C:\\dir") << QByteArray("C:\\\\dir");
        QTest::newRow("text of the locale") << QByteArray("Gr\xc3\xb6\xc3\x9f"
                                                          "e")
                                            << QByteArray("Gr\xc3\xb6\xc3\x9f"
                                                          "e");
        QTest::newRow("the cap cuts a character") << QByteArray(255, 'b') + "\xc3\xb6" << QByteArray(255, 'b');
        QTest::newRow("the first word only") << QByteArray("  one two\nthree") << QByteArray("one");
    }
    void wordIsCappedAndPrintable()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, logged);
        if (!m_reader) {
            m_reader = std::make_unique<Agent>(m_tmp.path(), QStringLiteral("reader"));
            QTRY_VERIFY_WITH_TIMEOUT(m_reader->log().contains("KB Hook Failed"), 15000);
        }
        QLocalSocket socket;
        socket.connectToServer(Agent::socketPath(m_tmp.path()));
        QVERIFY(socket.waitForConnected(5000));
        socket.write(sent);
        // The agent hangs up once it has its word; what it did not read is dropped.
        socket.waitForBytesWritten(5000);
        socket.disconnectFromServer();
        QTRY_VERIFY_WITH_TIMEOUT(m_reader->log().contains(loggedWord(logged)), 10000);
        for (const QByteArray &line : m_reader->log().split('\n'))
            QVERIFY2(line.size() < 2000, line.left(200).constData());
        QCOMPARE(m_reader->m_process.state(), QProcess::Running);
    }

    // Another account's agent, or anything another account listens on in the shared temporary
    // folder, is not this user's first instance.
    void otherUsersAreNotTheFirstInstance_data()
    {
        QTest::addColumn<bool>("agentOfAnotherUser");
        QTest::newRow("another user's agent") << true;
        QTest::newRow("a listener on the name in the temporary folder") << false;
    }
    void otherUsersAreNotTheFirstInstance()
    {
        QFETCH(bool, agentOfAnotherUser);
        QTemporaryDir tmp;
        std::unique_ptr<Agent> foreignAgent;
        QLocalServer listener;
        int heard = 0;
        connect(&listener, &QLocalServer::newConnection, [&] {
            while (QLocalSocket *socket = listener.nextPendingConnection()) {
                ++heard;
                delete socket;
            }
        });
        if (agentOfAnotherUser) {
            foreignAgent = std::make_unique<Agent>(
                tmp.path(), QStringLiteral("foreign"), QStringList {}, QStringLiteral("someone-else"));
            QTRY_VERIFY_WITH_TIMEOUT(foreignAgent->log().contains("KB Hook Failed"), 15000);
        } else {
            listener.setSocketOptions(QLocalServer::WorldAccessOption);
            QVERIFY(listener.listen(tmp.path() + QStringLiteral("/VORNSpanlink")));
        }

        Agent mine(tmp.path(), QStringLiteral("mine"));
        QTRY_VERIFY_WITH_TIMEOUT(touchedSwitchOrHooks(mine.log()) || mine.log().contains("Have already"), 15000);
        QVERIFY(!mine.log().contains("Have already connected to server."));
        QTRY_VERIFY_WITH_TIMEOUT(mine.log().contains("KB Hook Failed"), 15000);

        // Two agents of one user still find each other.
        Agent later(tmp.path(), QStringLiteral("later"), {QStringLiteral("mine")});
        QTRY_VERIFY_WITH_TIMEOUT(mine.log().contains(loggedWord("mine")), 15000);
        QVERIFY(later.log().contains("Have already connected to server."));
        if (foreignAgent)
            QVERIFY(!foreignAgent->log().contains("The value is:"));
        QCOMPARE(heard, 0);
    }

    // Whatever platform plugin Qt is given, the agent either runs or ends saying why on
    // stderr; it never just dies.
    void startsOrSaysWhyOnEveryPlatform_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QByteArray>("reason"); // on stderr; empty: it must run
        QTest::newRow("minimal") << QStringLiteral("minimal") << QString() << QByteArray();
        QTest::newRow("offscreen") << QStringLiteral("offscreen") << QString() << QByteArray();
        QTest::newRow("vnc") << QStringLiteral("vnc:port=0") << QString() << QByteArray();
        QTest::newRow("xcb without a display")
            << QStringLiteral("xcb") << QString() << QByteArray("Fatal: This application failed to start");
        QTest::newRow("xcb with a display that is not there")
            << QStringLiteral("xcb") << QStringLiteral(":97") << QByteArray("could not connect to display :97");
    }
    void startsOrSaysWhyOnEveryPlatform()
    {
        QFETCH(QString, platform);
        QFETCH(QString, display);
        QFETCH(QByteArray, reason);
        if (platform.startsWith(QLatin1String("vnc"))
            && !QFile::exists(
                QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms/libqvnc.so")))
            QSKIP("no vnc platform plugin");
        QTemporaryDir tmp;
        QStringList environment {QStringLiteral("QT_QPA_PLATFORM=") + platform};
        if (!display.isEmpty())
            environment << QStringLiteral("DISPLAY=") + display;
        Agent agent(tmp.path(), QStringLiteral("agent"), {}, QStringLiteral("me"), environment);
        QTRY_VERIFY_WITH_TIMEOUT(
            agent.log().contains("KB Hook Failed") || agent.m_process.state() == QProcess::NotRunning, 15000);
        if (reason.isEmpty()) {
            QTest::qWait(500); // a crash right after start-up counts too
            QVERIFY2(agent.m_process.state() == QProcess::Running, agent.stderrText().constData());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(agent.m_process.state(), QProcess::NotRunning, 15000);
            QVERIFY2(agent.stderrText().contains(reason), agent.stderrText().constData());
            QVERIFY(agent.stderrText().contains(", Fatal: "));
        }
    }
};

QTEST_GUILESS_MAIN(TestQSingleApplication)
#include "tst_qsingleapplication.moc"
