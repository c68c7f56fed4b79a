// One agent per user: a later start hands its last argument to the first and shows the alert.

#include "xdesktop.h"

#include <QtNetwork>
#include <QtTest>

#include <memory>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

static QString s(const char *text)
{
    return QString::fromUtf8(text);
}

// An agent with its own data folder, its user's runtime folder (its socket's; none for a null
// user, the folder itself for a path); no display.
struct Agent : QProcess {
    Agent(const QString &tmp, const QString &name, const QStringList &args = {}, const char *user = "me",
        const char *platform = "offscreen")
        : data(tmp + s("/data-") + name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(s("DISPLAY"));
        env.insert(s("TMPDIR"), tmp);
        env.insert(s("XDG_DATA_HOME"), data);
        env.insert(s("QT_QPA_PLATFORM"), s(platform));
        env.remove(s("XDG_RUNTIME_DIR"));
        if (user)
            env.insert(s("XDG_RUNTIME_DIR"), *user == '/' ? s(user) : runtimeDir(tmp, user));
        setProcessEnvironment(env);
        start(s(SPANLINK_BINARY), args);
    }
    ~Agent() override
    {
        kill();
        waitForFinished(5000);
    }
    static QString runtimeDir(const QString &tmp, const char *user)
    {
        const QString dir = tmp + s("/run-") + s(user);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return dir;
    }
    QByteArray log() const
    {
        return XDesktop::readAll(data + QDate::currentDate().toString(s("'/VORN/Spanlink/log'yyyy-MM-dd'.txt'")));
    }
    // A first instance tried the switch and the hooks; a later one did neither.
    bool first() const { return log().contains("KB Hook Failed") && !log().contains("Have already connected"); }
    bool later() const
    {
        const QByteArray l = log();
        return l.contains("Have already connected to server.") && !l.contains("hid_init") && !l.contains("KB Hook");
    }
    bool said(const QByteArray &word) const { return log().contains("Debug: \"The value is: " + word + "\" ("); }
    const QString data;
};

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
    }

private slots:
    // Another user's agent, or a listener in the shared temporary folder, is not our first instance.
    void initTestCase()
    {
        m_socket = Agent::runtimeDir(m_tmp.path(), "me") + s("/VORNSpanlink");
        QLocalServer listener;
        listener.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(listener.listen(m_tmp.path() + s("/VORNSpanlink")));
        m_foreign = std::make_unique<Agent>(m_tmp.path(), s("foreign"), QStringList(), "someone-else");
        QTRY_VERIFY_WITH_TIMEOUT(m_foreign->first(), 15000);
        m_first = std::make_unique<Agent>(m_tmp.path(), s("first"));
        QTRY_VERIFY_WITH_TIMEOUT(m_first->first(), 15000);
        QVERIFY(!listener.hasPendingConnections());
        QCOMPARE(int(QFileInfo(m_socket).permissions() & 0x77), 0); // group and others: no access
    }
    void cleanupTestCase()
    {
        m_first.reset();
        m_foreign.reset();
    }

    void secondStartHandsOverItsArgument()
    {
        Agent second(m_tmp.path(), s("second"), {s("--show now")});
        QTRY_VERIFY_WITH_TIMEOUT(m_first->said("--show"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(second.later(), 5000);
        QCOMPARE(second.state(), QProcess::Running); // it shows the alert
        QVERIFY(!m_foreign->log().contains("The value is:"));
    }

    // Clients that send nothing get a second each, side by side, not one after the other.
    void silentClientsHoldNothing()
    {
        const int before = m_first->log().count("The value is: \" (");
        std::vector<std::unique_ptr<QLocalSocket>> silent(20);
        for (auto &socket : silent) {
            socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(m_socket);
            QVERIFY(socket->waitForConnected(5000));
        }
        send("behind");
        QTRY_VERIFY_WITH_TIMEOUT(m_first->said("behind"), 10000);
        for (auto &socket : silent)
            QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(m_first->log().count("The value is: \" (") - before, 20);
        // Each finished reader frees its place: more clients than may read at once, one by one.
        for (int i = 0; i < 70; ++i)
            send("n" + QByteArray::number(i));
        QTRY_VERIFY_WITH_TIMEOUT(m_first->said("n69"), 10000);
    }

    void wordIsCappedAndPrintable_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("flood of 10 MB") << QByteArray(10 * 1024 * 1024, 'A') << QByteArray(256, 'A');
        QTest::newRow("control characters") << QByteArray("a\x01\x7f", 3) << QByteArray("a\\u0001\\u007F");
        QTest::newRow("a zero byte") << QByteArray("n\0n", 3) << QByteArray("n\\u0000n");
        QTest::newRow("bytes that do not decode") << QByteArray("a\xff\xc3z") << QByteArray("a\\uDCFF\\uDCC3z");
        QTest::newRow("text of the locale") << QByteArray("Gr\xc3\xb6\xc3\x9f") << QByteArray("Gr\xc3\xb6\xc3\x9f");
        QTest::newRow("the cap cuts a character") << QByteArray(255, 'b') + "\xc3\xb6" << QByteArray(255, 'b');
        QTest::newRow("the first word only") << QByteArray("  one\rtwo three") << QByteArray("one");
    }
    void wordIsCappedAndPrintable()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, logged);
        send(sent);
        QTRY_VERIFY_WITH_TIMEOUT(m_first->said(logged), 10000);
        for (const QByteArray &line : m_first->log().split('\n'))
            QVERIFY2(line.size() < 2000, line.left(200).constData());
        QCOMPARE(m_first->state(), QProcess::Running);
    }

    // A runtime folder that is missing or not private is not used, nor the shared temporary folder
    // (where Qt would go), nor a folder of ours that someone else made: whoever listens there first
    // would have every start show the alert. A folder of its own serves the agent and its later starts.
    void untrustedRuntimeFolders_data()
    {
        QTest::addColumn<QString>("runtime"); // "": none
        QTest::addColumn<QString>("prepare"); // folders: "name:mode[:nobody]" or "name>target" for a link
        QTest::addColumn<bool>("guarded"); // a later start still finds this one
        const QString own = QStringLiteral("spanlink-%1").arg(::geteuid());
        const QString qtFallback = s("runtime-") + QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
        QTest::newRow("none, Qt's fallback another's") << QString() << qtFallback + s(":777:nobody") << true;
        QTest::newRow("others may write in it") << s("shared") << s("shared:777") << true;
        QTest::newRow("another user's") << s("theirs") << s("theirs:700:nobody") << true;
        QTest::newRow("ours taken by another user") << QString() << own + s(":777:nobody") << false;
        QTest::newRow("ours open to others") << QString() << own + s(":755") << false;
        QTest::newRow("ours a link") << QString() << s("elsewhere:700 ") + own + s(">elsewhere") << false;
    }
    void untrustedRuntimeFolders()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, prepare);
        QFETCH(bool, guarded);
        QTemporaryDir tmp;
        const QString dir = tmp.path();
        std::vector<std::unique_ptr<QLocalServer>> listeners;
        const auto listen = [&](const QString &path) {
            listeners.push_back(std::make_unique<QLocalServer>());
            listeners.back()->setSocketOptions(QLocalServer::WorldAccessOption);
            return listeners.back()->listen(path);
        };
        QVERIFY(listen(dir + s("/VORNSpanlink")));
        for (const QString &folder : prepare.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QStringList link = folder.split(QLatin1Char('>')), spec = folder.split(QLatin1Char(':'));
            const QByteArray path
                = QFile::encodeName(dir + QLatin1Char('/') + spec.at(0).section(QLatin1Char('>'), 0, 0));
            if (link.size() == 2) {
                QVERIFY(QFile::link(dir + QLatin1Char('/') + link.at(1), QFile::decodeName(path)));
                continue;
            }
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
            if (spec.value(2) == s("nobody")) {
                if (::geteuid() != 0)
                    QSKIP("only root can give a folder to another user");
                QCOMPARE(::chown(path.constData(), ::getpwnam("nobody")->pw_uid, ::getpwnam("nobody")->pw_gid), 0);
            }
            QCOMPARE(::chmod(path.constData(), spec.at(1).toUInt(nullptr, 8)), 0);
            QVERIFY(listen(QFile::decodeName(path) + s("/VORNSpanlink")));
        }
        const QByteArray xdg = runtime.isEmpty() ? QByteArray() : QFile::encodeName(dir + QLatin1Char('/') + runtime);
        Agent first(dir, s("first"), {}, runtime.isEmpty() ? nullptr : xdg.constData());
        QTRY_VERIFY_WITH_TIMEOUT(first.first(), 15000);
        Agent second(dir, s("second"), {s("again")}, runtime.isEmpty() ? nullptr : xdg.constData());
        if (guarded) {
            QTRY_VERIFY_WITH_TIMEOUT(first.said("again") && second.later(), 15000);
            struct stat info;
            const QByteArray own = QFile::encodeName(dir + QStringLiteral("/spanlink-%1").arg(::geteuid()));
            QVERIFY(::lstat(own.constData(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 0777) == 0700);
            QVERIFY(QFileInfo::exists(QFile::decodeName(own) + s("/VORNSpanlink")));
        } else {
            // No folder to meet in: each start runs alone, and says why.
            QTRY_VERIFY_WITH_TIMEOUT(second.first(), 15000);
            QVERIFY2(
                first.log().contains("for the single-instance socket is not ours alone ("), first.log().constData());
        }
        for (const auto &listener : listeners)
            QVERIFY2(!listener->hasPendingConnections(), qPrintable(listener->fullServerName()));
    }

    // Without a display the agent ends saying why on stderr; on the minimal platform it runs.
    void noDisplaySaysWhy()
    {
        QTemporaryDir tmp;
        Agent ends(tmp.path(), s("xcb"), {}, "me", "xcb");
        QTRY_COMPARE_WITH_TIMEOUT(ends.state(), QProcess::NotRunning, 15000);
        const QByteArray err = ends.readAllStandardError();
        QVERIFY2(err.contains("Fatal: This application failed to start") && err.contains(", Fatal: "), err.constData());
        Agent runs(tmp.path(), s("minimal"), {}, "another", "minimal"); // no screen at all: it runs on, hooking nothing
        QTRY_VERIFY_WITH_TIMEOUT(runs.first(), 15000);
        QTest::qWait(500);
        QCOMPARE(runs.state(), QProcess::Running);
        QVERIFY(!runs.log().contains("Wayland"));
    }

    // In a Wayland session crossings never happen: the agent says so once, in its log and on stderr.
    void waylandSessionSaysSo_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("session type") << QByteArray("XDG_SESSION_TYPE") << QByteArray("wayland");
        QTest::newRow("compositor's socket") << QByteArray("WAYLAND_DISPLAY") << QByteArray("wayland-0");
    }
    void waylandSessionSaysSo()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QTemporaryDir tmp;
        qputenv(variable.constData(), value); // the agent's environment is taken from ours
        Agent agent(tmp.path(), s("wayland"), {}, "wayland");
        qunsetenv(variable.constData());
        QTRY_VERIFY_WITH_TIMEOUT(agent.first(), 15000);
        const QByteArray line = "This is a Wayland session: the agent can neither follow nor move the pointer there, "
                                "so crossings to other computers do not happen. Crossings need an X11 session";
        QCOMPARE(agent.log().count(line), 1);
        QByteArray err;
        QTRY_VERIFY2((err += agent.readAllStandardError()).contains("Spanlink: " + line), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestQSingleApplication)
#include "tst_qsingleapplication.moc"
