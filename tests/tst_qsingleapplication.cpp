// One agent per user, with real agent processes: a later start hands its last argument to the
// first instance and shows only the alert.

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <memory>
#include <vector>

// An agent with a data folder of its own and the runtime folder of `user`, closed to others,
// where its socket lives. No X display: it hooks nothing, says so, and runs on.
struct Agent : QProcess {
    Agent(const QString &tmp, const QString &name, const QStringList &args = {},
        const QString &user = QStringLiteral("me"), const QStringList &settings = {})
        : data(tmp + QStringLiteral("/data-") + name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        for (const QString &s :
            QStringList {QStringLiteral("TMPDIR=") + tmp, QStringLiteral("XDG_DATA_HOME=") + data,
                QStringLiteral("XDG_RUNTIME_DIR=") + runtimeDir(tmp, user), QStringLiteral("QT_QPA_PLATFORM=offscreen")}
                + settings)
            env.insert(s.section(QLatin1Char('='), 0, 0), s.section(QLatin1Char('='), 1));
        setProcessEnvironment(env);
        start(QStringLiteral(SPANLINK_BINARY), args);
    }
    ~Agent() override { kill(), waitForFinished(5000); }
    static QString runtimeDir(const QString &tmp, const QString &user)
    {
        const QString dir = tmp + QStringLiteral("/run-") + user;
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return dir;
    }
    QByteArray log() const
    {
        QFile file(data + QStringLiteral("/VORN/Spanlink/log") + QDate::currentDate().toString(Qt::ISODate)
            + QStringLiteral(".txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // A first instance tried the switch and the hooks; a later one did neither.
    bool first() const { return log().contains("KB Hook Failed") && !log().contains("Have already connected"); }
    bool later() const
    {
        return log().contains("Have already connected to server.") && !log().contains("hid_init")
            && !log().contains("KB Hook");
    }
    const QString data;
};

static QByteArray loggedWord(const QByteArray &word)
{
    return "Debug: \"The value is: " + word + "\" (";
}

class TestQSingleApplication : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::unique_ptr<Agent> m_first, m_foreign;
    QString m_socket;

    // A client as a later start is one: it sends its bytes and hangs up.
    void send(const QByteArray &bytes)
    {
        QLocalSocket socket;
        socket.connectToServer(m_socket);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(bytes);
        socket.waitForBytesWritten(5000); // the agent hangs up once it has its word
        socket.disconnectFromServer();
    }

private slots:
    // Another account's agent, or anyone listening on the name in the shared temporary folder,
    // is not this user's first instance.
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_socket = Agent::runtimeDir(m_tmp.path(), QStringLiteral("me")) + QStringLiteral("/VORNSpanlink");
        QLocalServer listener;
        listener.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(listener.listen(m_tmp.path() + QStringLiteral("/VORNSpanlink")));
        m_foreign = std::make_unique<Agent>(
            m_tmp.path(), QStringLiteral("foreign"), QStringList(), QStringLiteral("someone-else"));
        QTRY_VERIFY_WITH_TIMEOUT(m_foreign->first(), 15000);
        m_first = std::make_unique<Agent>(m_tmp.path(), QStringLiteral("first"));
        QTRY_VERIFY_WITH_TIMEOUT(m_first->first(), 15000);
        QVERIFY(!listener.hasPendingConnections());
        // Only this user may connect.
        QCOMPARE(QFileInfo(m_socket).permissions()
                & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
                    | QFile::ExeUser),
            QFile::Permissions());
    }
    void cleanupTestCase() { m_first.reset(), m_foreign.reset(); }

    void secondStartHandsOverItsArgument()
    {
        Agent second(m_tmp.path(), QStringLiteral("second"), {QStringLiteral("--show now")});
        QTRY_VERIFY_WITH_TIMEOUT(m_first->log().contains(loggedWord("--show")), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(second.later(), 5000);
        QCOMPARE(second.state(), QProcess::Running); // it shows the alert
        QVERIFY(!m_foreign->log().contains("The value is:"));
    }

    // Clients that send nothing get a second each, side by side: one after the other, twenty
    // would hold a later start for twenty seconds.
    void silentClientsHoldNothing()
    {
        const int before = m_first->log().count(loggedWord(""));
        std::vector<std::unique_ptr<QLocalSocket>> silent;
        for (int i = 0; i < 20; ++i) {
            silent.push_back(std::make_unique<QLocalSocket>());
            silent.back()->connectToServer(m_socket);
            QVERIFY(silent.back()->waitForConnected(5000));
        }
        send("behind");
        QTRY_VERIFY_WITH_TIMEOUT(m_first->log().contains(loggedWord("behind")), 10000);
        for (auto &socket : silent)
            QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(m_first->log().count(loggedWord("")) - before, 20);
        // Each finished reader frees its place: more clients than may read at once, one by one.
        for (int i = 0; i < 70; ++i)
            send("n" + QByteArray::number(i));
        QTRY_VERIFY_WITH_TIMEOUT(m_first->log().contains(loggedWord("n69")), 10000);
    }

    void wordIsCappedAndPrintable_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("flood of 10 MB") << QByteArray(10 * 1024 * 1024, 'A') << QByteArray(256, 'A');
        QTest::newRow("control characters") << QByteArray("a\x01\x7f", 3) << QByteArray("a\\u0001\\u007F");
        QTest::newRow("a zero byte") << QByteArray("n\0n", 3) << QByteArray("n\\u0000n");
        QTest::newRow("bytes that do not decode") << QByteArray("a\xff\xc3z") << QByteArray("a\\uDCFF\\uDCC3z");
        QTest::newRow("a backslash") << QByteArray("C:\\dir") << QByteArray("C:\\\\dir");
        QTest::newRow("text of the locale") << QByteArray("Gr\xc3\xb6\xc3\x9f") << QByteArray("Gr\xc3\xb6\xc3\x9f");
        QTest::newRow("the cap cuts a character") << QByteArray(255, 'b') + "\xc3\xb6" << QByteArray(255, 'b');
        QTest::newRow("the first word only") << QByteArray("  one\rtwo three") << QByteArray("one");
    }
    void wordIsCappedAndPrintable()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, logged);
        send(sent);
        QTRY_VERIFY_WITH_TIMEOUT(m_first->log().contains(loggedWord(logged)), 10000);
        for (const QByteArray &line : m_first->log().split('\n'))
            QVERIFY2(line.size() < 2000, line.left(200).constData());
        QCOMPARE(m_first->state(), QProcess::Running);
    }

    // Last: it kills the first instance, whose socket file stays behind.
    void staleSocketIsRecovered()
    {
        m_first.reset();
        QVERIFY(QFile::exists(m_socket));
        Agent next(m_tmp.path(), QStringLiteral("next"));
        QTRY_VERIFY_WITH_TIMEOUT(next.first(), 15000);
        send("x");
        QTRY_VERIFY_WITH_TIMEOUT(next.log().contains(loggedWord("x")), 15000);
    }

    // Whatever the platform, the agent runs or ends saying why on stderr; it never just dies.
    void startsOrSaysWhy_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QByteArray>("reason"); // empty: it must run
        QTest::newRow("minimal") << QStringList {QStringLiteral("QT_QPA_PLATFORM=minimal")} << QByteArray();
        QTest::newRow("xcb, no DISPLAY") << QStringList {QStringLiteral("QT_QPA_PLATFORM=xcb")}
                                         << QByteArray("Fatal: This application failed to start");
        QTest::newRow("xcb, no such display") << QStringList {QStringLiteral("QT_QPA_PLATFORM=xcb"),
            QStringLiteral("DISPLAY=:97")} << QByteArray("could not connect to display :97");
    }
    void startsOrSaysWhy()
    {
        QFETCH(QStringList, settings);
        QFETCH(QByteArray, reason);
        QTemporaryDir tmp;
        Agent agent(tmp.path(), QStringLiteral("agent"), {}, QStringLiteral("me"), settings);
        QTRY_VERIFY_WITH_TIMEOUT(agent.first() || agent.state() == QProcess::NotRunning, 15000);
        QTest::qWait(reason.isEmpty() ? 500 : 0); // a crash right after start-up counts too
        QTRY_COMPARE_WITH_TIMEOUT(agent.state(), reason.isEmpty() ? QProcess::Running : QProcess::NotRunning, 15000);
        const QByteArray err = agent.readAllStandardError();
        QVERIFY2(reason.isEmpty() || (err.contains(reason) && err.contains(", Fatal: ")), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestQSingleApplication)
#include "tst_qsingleapplication.moc"
