#include "ctl.h"

#include "kv830data.h"
#include "layoutfile.h"
#include "platform/session.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QTextStream>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace SpanlinkCtl
{
namespace
{
using namespace SwitchLayout;

// What sendAllCommand() had logged when it stopped: its debug line per value tells how far
// it got, which its bool result does not.
struct UploadTrace {
    bool opened = false; // the opening frame was accepted
    int entries = 0; // monitor entries whose frame was sent
    bool mouse = false; // the mouse-settings frame was sent
    bool transport = false; // a frame got no answer at all, rather than a refusal
};

struct Messages {
    QtMessageHandler previous = nullptr;
    QTextStream *err = nullptr;
    bool verbose = false;
    UploadTrace *trace = nullptr;
};
Messages s_messages;

void handleMessage(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (UploadTrace *t = s_messages.trace) {
        if (msg == QLatin1String("sendAllCommand() finish"))
            t->opened = true;
        else if (msg.startsWith(QLatin1String("serialNum= ")))
            ++t->entries;
        else if (msg.startsWith(QLatin1String("s_Num= ")))
            t->mouse = true;
        else if (msg.startsWith(QLatin1String("Unable to")) || msg.startsWith(QLatin1String("please open device")))
            t->transport = true;
    }
    // The switch link logs every exchange; a command line shows that only when asked.
    if ((s_messages.verbose || type == QtFatalMsg) && s_messages.err)
        *s_messages.err << "debug: " << msg << Qt::endl;
}

// Routes the switch link's messages while a command runs, and gives the old handler back.
class MessageScope
{
public:
    MessageScope(QTextStream &err, bool verbose)
    {
        s_messages.err = &err;
        s_messages.verbose = verbose;
        s_messages.previous = qInstallMessageHandler(handleMessage);
    }
    ~MessageScope()
    {
        qInstallMessageHandler(s_messages.previous);
        s_messages = Messages();
    }
};

class Command
{
public:
    Command(QTextStream &out, QTextStream &err, bool json)
        : m_out(out)
        , m_err(err)
        , m_json(json)
    {
    }
    ~Command() { m_switch.close(); }

    int status();
    int layout();
    int load(const QString &path);
    int detect(const QString &port, const QString &at);

private:
    int fail(int code, const QString &line)
    {
        m_err << "spanlinkctl: " << line << Qt::endl;
        return code;
    }
    bool open()
    {
        if (m_switch.open(KV830::VendorId, KV830::ProductId))
            return true;
        fail(NoAnswer, QStringLiteral("no switch answers: none is attached, or this user may not open it"));
        return false;
    }
    bool readLayout(QVector<Monitor> &monitors, int &failedEntry);
    void print(const QJsonObject &o) { m_out << QJsonDocument(o).toJson(QJsonDocument::Indented) << Qt::flush; }

    QTextStream &m_out;
    QTextStream &m_err;
    bool m_json;
    KV830Data m_switch;
};

// A layout file is a plain file: a FIFO or a device would block the read or never end, and is
// refused without waiting for it. One byte past the cap is read, enough to know a file is too
// big whatever size it claims.
bool readRegularFile(const QString &path, QByteArray &data, QString &error)
{
    QFile file(path);
#ifdef Q_OS_UNIX
    // Opened without blocking (opening a FIFO waits for a writer), then judged by what was opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = QStringLiteral("not a regular file");
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
#else
    if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
        error = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
#endif
    data = file.read(MaxFileSize + 1);
    return true;
}

int portStatusInt(KV830Data &d, const char *key)
{
    return d.m_portStatus.value(QLatin1String(key)).toInt();
}

int Command::status()
{
    if (!open()) {
        if (m_json)
            print({{QStringLiteral("answers"), false}});
        return NoAnswer;
    }
    if (!m_switch.getFWAPProtocolVersion())
        return fail(NoAnswer, QStringLiteral("the switch does not answer the version request"));
    if (!m_switch.getPortStatus())
        return fail(NoAnswer, QStringLiteral("the switch does not answer the port-status request"));
    if (!m_switch.getSwitchingFocusStatus())
        return fail(NoAnswer, QStringLiteral("the switch does not answer the highlight-settings request"));

    QJsonArray present;
    for (int p = 1; p <= PortCount; ++p) {
        if ((m_switch.m_portMask >> (p - 1)) & 1)
            present.append(p);
    }
    const QVariantMap &focus = m_switch.m_focusStatus;
    const bool highlight = focus.value(QStringLiteral("status")).toInt() != 0;
    const int duration = focus.value(QStringLiteral("duration")).toInt();
    const bool wrap = focus.value(QStringLiteral("cyclic_switch")).toInt() != 0;
    const QJsonObject o {{QStringLiteral("answers"), true}, {QStringLiteral("version"), m_switch.version()},
        {QStringLiteral("thisPort"), portStatusInt(m_switch, "apportNum")},
        {QStringLiteral("currentPort"), portStatusInt(m_switch, "curportNum")},
        {QStringLiteral("presentPorts"), present},
        {QStringLiteral("monitorEntries"), portStatusInt(m_switch, "listNum")},
        {QStringLiteral("mousePosition"), portStatusInt(m_switch, "mouseposition")},
        {QStringLiteral("highlight"),
            QJsonObject {{QStringLiteral("on"), highlight}, {QStringLiteral("duration"), duration}}},
        {QStringLiteral("wrapAround"), wrap}};
    const QString session = Session::waylandTip();
    if (m_json) {
        QJsonObject withSession = o;
        if (!session.isEmpty())
            withSession.insert(QStringLiteral("session"), session);
        print(withSession);
        return Ok;
    }
    QStringList ports;
    for (const QJsonValue &p : qAsConst(present))
        ports << QString::number(p.toInt());
    const auto onOff = [](bool on) {
        return on ? QStringLiteral("on") : QStringLiteral("off");
    };
    m_out << "switch:           answers\n"
          << "protocol version: " << m_switch.version() << '\n'
          << "this computer:    port " << o.value(QStringLiteral("thisPort")).toInt() << '\n'
          << "keyboard, mouse:  port " << o.value(QStringLiteral("currentPort")).toInt() << '\n'
          << "ports present:    " << (ports.isEmpty() ? QStringLiteral("none") : ports.join(QLatin1Char(' '))) << '\n'
          << "monitor entries:  " << o.value(QStringLiteral("monitorEntries")).toInt() << '\n'
          << "mouse position:   " << o.value(QStringLiteral("mousePosition")).toInt() << '\n'
          << "highlight:        " << onOff(highlight) << ", duration " << duration << '\n'
          << "wrap-around:      " << onOff(wrap) << Qt::endl;
    if (!session.isEmpty())
        m_out << "session:          " << session << Qt::endl;
    return Ok;
}

// Every entry the port status announces; false with the entry that got no answer.
bool Command::readLayout(QVector<Monitor> &monitors, int &failedEntry)
{
    monitors.clear();
    const int count = portStatusInt(m_switch, "listNum");
    for (int i = 1; i <= count; ++i) {
        if (!m_switch.getOneListOfPortNum(i)) {
            failedEntry = i;
            return false;
        }
        monitors.append(fromPortList(m_switch.m_portList));
    }
    return true;
}

int Command::layout()
{
    if (!open())
        return NoAnswer;
    if (!m_switch.getPortStatus())
        return fail(NoAnswer, QStringLiteral("the switch does not answer the port-status request"));
    Layout layout;
    int failed = 0;
    if (!readLayout(layout.monitors, failed)) {
        return fail(NoAnswer,
            QStringLiteral("the switch does not answer for monitor entry %1 of %2")
                .arg(failed)
                .arg(portStatusInt(m_switch, "listNum")));
    }
    layout.mouse.position = portStatusInt(m_switch, "mouseposition");
    layout.mouse.hasPosition = true;
    if (m_json) {
        print(toJson(layout));
        return Ok;
    }
    m_out << drawGrid(layout.monitors, portStatusInt(m_switch, "apportNum"))
          << "mouse position: " << layout.mouse.position << Qt::endl;
    return Ok;
}

QString failedFrame(const UploadTrace &t, int entries)
{
    const int total = entries + 3; // opening, the entries, mouse settings, closing
    if (!t.opened)
        return QStringLiteral("frame 1 of %1 (opening the upload)").arg(total);
    if (!t.mouse)
        return QStringLiteral("frame %1 of %2 (monitor entry %3)").arg(t.entries + 1).arg(total).arg(t.entries);
    // Both come after the last logged value, so which of the two it was cannot be told.
    return QStringLiteral("frame %1 or %2 of %2 (the mouse settings or the closing frame)").arg(entries + 2).arg(total);
}

int Command::load(const QString &path)
{
    QByteArray data;
    QString error;
    if (!readRegularFile(path, data, error))
        return fail(BadInput, QStringLiteral("cannot read %1: %2; nothing was sent").arg(path, error));
    Layout layout;
    if (!parse(data, layout, error))
        return fail(BadInput, QStringLiteral("%1: %2; nothing was sent").arg(path, error));

    if (!open())
        return NoAnswer;
    if (!m_switch.getPortStatus())
        return fail(NoAnswer, QStringLiteral("the switch does not answer the port-status request"));
    Mouse mouse = layout.mouse;
    if (!mouse.hasPosition) {
        mouse.position = portStatusInt(m_switch, "mouseposition");
        m_out << "The file sets no mouse position: keeping the switch's " << mouse.position << ".\n";
    }
    if (!mouse.hasAcceleration || !mouse.hasSpeed)
        m_out << "The file sets no mouse acceleration or speed, which the switch does not report: sending "
              << "acceleration " << mouse.acceleration << ", speed " << mouse.speed << ".\n";

    const int n = layout.monitors.size();
    UploadTrace trace;
    s_messages.trace = &trace;
    // The entries and the mouse settings are the lists announced; the mouse list comes last.
    const bool sent = m_switch.sendAllCommand(n + 1, uploadEntries(layout.monitors), uploadMouse(mouse, n + 1));
    s_messages.trace = nullptr;
    if (!sent) {
        return fail(NoAnswer,
            QStringLiteral("upload stopped: the switch %1 %2; nothing after it was sent")
                .arg(trace.transport ? QStringLiteral("did not answer") : QStringLiteral("refused"),
                    failedFrame(trace, n)));
    }

    // Read back: the upload only counts once the switch reports what was sent.
    QVector<Monitor> back;
    int failed = 0;
    if (!m_switch.getPortStatus() || !readLayout(back, failed))
        return fail(NoAnswer, QStringLiteral("uploaded, but the switch does not answer when the layout is read back"));
    if (back != layout.monitors) {
        return fail(NoAnswer,
            QStringLiteral("uploaded, but the switch reports %1 monitor entries that differ from the file")
                .arg(back.size()));
    }
    if (portStatusInt(m_switch, "mouseposition") != mouse.position) {
        return fail(NoAnswer,
            QStringLiteral("uploaded, but the switch reports mouse position %1 instead of %2")
                .arg(portStatusInt(m_switch, "mouseposition"))
                .arg(mouse.position));
    }
    m_out << "Uploaded " << n << " monitor entries and the mouse settings; the switch reports them back.\n"
          << "Running agents pick the new layout up within a few seconds." << Qt::endl;
    return Ok;
}

int Command::detect(const QString &portText, const QString &at)
{
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 1 || port > PortCount)
        return fail(
            BadInput, QStringLiteral("--port must be a port from 1 to %1, not \"%2\"").arg(PortCount).arg(portText));
    const QStringList cell = at.split(QLatin1Char(','));
    bool okRow = false, okCol = false;
    const int row = cell.value(0).trimmed().toInt(&okRow);
    const int col = cell.value(1).trimmed().toInt(&okCol);
    if (cell.size() != 2 || !okRow || !okCol || row < 1 || row > GridSize || col < 1 || col > GridSize) {
        return fail(
            BadInput, QStringLiteral("--at must be ROW,COL with each from 1 to %1, not \"%2\"").arg(GridSize).arg(at));
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return fail(NoAnswer, QStringLiteral("layout detect needs this computer's desktop"));

    // Device pixels: what the switch's resolutions count. Screens of one virtual desktop keep
    // their places; separate desktops (one per X screen, each with its own origin) are side by
    // side in their order, as the X server lays them out.
    QVector<QRect> screens;
    QHash<const QScreen *, int> desktopLeft; // first screen of a desktop -> its left edge
    int nextLeft = 0;
    for (const QScreen *s : QGuiApplication::screens()) {
        const QScreen *first = s->virtualSiblings().value(0, const_cast<QScreen *>(s));
        const qreal r = first->devicePixelRatio();
        const QRect desktop = first->virtualGeometry();
        if (!desktopLeft.contains(first)) {
            desktopLeft.insert(first, nextLeft);
            nextLeft += qRound(desktop.width() * r);
        }
        const QRect g = s->geometry();
        screens.append(QRect(desktopLeft.value(first) + qRound((g.x() - desktop.x()) * r),
            qRound((g.y() - desktop.y()) * r), qRound(g.width() * r), qRound(g.height() * r)));
    }
    QVector<Monitor> monitors;
    QStringList warnings;
    QString error;
    if (!placeScreens(screens, port, row, col, monitors, warnings, error))
        return fail(BadInput, error);
    for (const QString &w : qAsConst(warnings))
        m_err << "spanlinkctl: warning: " << w << Qt::endl;
    QJsonArray list;
    for (const Monitor &m : qAsConst(monitors))
        list.append(toJson(m));
    print({{QStringLiteral("monitors"), list}});
    return Ok;
}
} // namespace

bool needsScreens(const QStringList &arguments)
{
    QStringList words;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--port") || a == QLatin1String("--at"))
            ++i; // their value is not a command word
        else if (!a.startsWith(QLatin1Char('-')))
            words << a;
    }
    return words.value(0) == QLatin1String("layout") && words.value(1) == QLatin1String("detect");
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Status, layout and settings of the KV830 switch.\n\n"
                       "Commands:\n"
                       "  status                              whether the switch answers, and its settings\n"
                       "  layout                              the monitor grid the switch holds\n"
                       "  layout load FILE                    checks FILE, uploads it, reads it back\n"
                       "  layout detect --port N --at ROW,COL this computer's screens as monitor entries\n\n"
                       "Exit status: 0 done, 1 the switch (or the desktop) does not answer, 2 bad input."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print status or layout as JSON."));
    const QCommandLineOption port(
        QStringLiteral("port"), QStringLiteral("detect: the port of this computer."), QStringLiteral("N"));
    const QCommandLineOption at(
        QStringLiteral("at"), QStringLiteral("detect: the cell of the top-left screen."), QStringLiteral("ROW,COL"));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"), QStringLiteral("Show every exchange with the switch on stderr."));
    parser.addOptions({json, port, at, verbose});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("status or layout, see above."),
        QStringLiteral("command [load FILE | detect]"));

    if (!parser.parse(arguments)) {
        err << "spanlinkctl: " << parser.errorText() << Qt::endl;
        return BadInput;
    }
    if (parser.isSet(help)) {
        out << parser.helpText() << Qt::flush;
        return Ok;
    }
    if (parser.isSet(version)) {
        out << "spanlinkctl " << SPANLINK_VERSION << Qt::endl;
        return Ok;
    }

    MessageScope messages(err, parser.isSet(verbose));
    Command command(out, err, parser.isSet(json));
    const QStringList words = parser.positionalArguments();
    const auto bad = [&](const QString &line) {
        err << "spanlinkctl: " << line << " (see --help)" << Qt::endl;
        return BadInput;
    };
    const bool detectOptions = parser.isSet(port) || parser.isSet(at);
    if (words == QStringList {QStringLiteral("status")} && !detectOptions)
        return command.status();
    if (words == QStringList {QStringLiteral("layout")} && !detectOptions)
        return command.layout();
    if (words.size() == 3 && words.at(0) == QLatin1String("layout") && words.at(1) == QLatin1String("load")
        && !detectOptions)
        return command.load(words.at(2));
    if (words == QStringList({QStringLiteral("layout"), QStringLiteral("detect")})) {
        if (!parser.isSet(port) || !parser.isSet(at))
            return bad(QStringLiteral("layout detect needs --port N and --at ROW,COL"));
        return command.detect(parser.value(port), parser.value(at));
    }
    if (words.isEmpty())
        return bad(QStringLiteral("no command given"));
    if (detectOptions)
        return bad(QStringLiteral("--port and --at belong to layout detect"));
    return bad(QStringLiteral("unknown command \"%1\"").arg(words.join(QLatin1Char(' '))));
}
} // namespace SpanlinkCtl
