#include "ctl.h"

#include "layoutcheck.h"
#include "layoutfile.h"
#include "layoutread.h"
#include "platform/session.h"
#include "switchsession.h"

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace SpanlinkCtl
{
namespace
{
using namespace SwitchLayout;

struct Messages {
    QtMessageHandler previous = nullptr;
    QTextStream *err = nullptr;
    bool verbose = false;
};
Messages s_messages;

void handleMessage(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
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
        if (m_switch.open())
            return true;
        fail(NoAnswer, QStringLiteral("no switch answers: none is attached, or this user may not open it"));
        return false;
    }
    void print(const QJsonObject &o) { m_out << QJsonDocument(o).toJson(QJsonDocument::Indented) << Qt::flush; }

    QTextStream &m_out;
    QTextStream &m_err;
    bool m_json;
    SwitchSession m_switch;
};

int Command::status()
{
    if (!open()) {
        if (m_json)
            print({{QStringLiteral("answers"), false}});
        return NoAnswer;
    }
    SwitchStatus st;
    QString error;
    if (!m_switch.readStatus(st, error, true))
        return fail(NoAnswer, error);

    QJsonArray present;
    for (int p = 1; p <= PortCount; ++p) {
        if ((st.presentPorts >> (p - 1)) & 1)
            present.append(p);
    }
    const bool highlight = st.highlight;
    const int duration = st.highlightDuration;
    const bool wrap = st.wrapAround;
    const QJsonObject o {{QStringLiteral("answers"), true}, {QStringLiteral("version"), st.version},
        {QStringLiteral("thisPort"), st.thisPort}, {QStringLiteral("currentPort"), st.currentPort},
        {QStringLiteral("presentPorts"), present}, {QStringLiteral("monitorEntries"), st.entries},
        {QStringLiteral("mousePosition"), st.mousePosition},
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
          << "protocol version: " << st.version << '\n'
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

int Command::layout()
{
    if (!open())
        return NoAnswer;
    SwitchStatus st;
    QString error;
    if (!m_switch.readStatus(st, error))
        return fail(NoAnswer, error);
    Layout layout;
    int failed = 0;
    if (!m_switch.readLayout(layout.monitors, failed)) {
        return fail(NoAnswer,
            QStringLiteral("the switch does not answer for monitor entry %1 of %2").arg(failed).arg(st.entries));
    }
    layout.mouse.position = st.mousePosition;
    layout.mouse.hasPosition = true;
    if (m_json) {
        print(toJson(layout));
        return Ok;
    }
    m_out << drawGrid(layout.monitors, st.thisPort) << "mouse position: " << layout.mouse.position << Qt::endl;
    return Ok;
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
    // What parse() lets through but the picture in Spanlink Setup marks: said, not refused.
    for (const Problem &p : check(layout))
        m_err << "spanlinkctl: warning: monitor entry " << p.entry + 1 << ": " << p.text << Qt::endl;

    if (!open())
        return NoAnswer;
    SwitchStatus st;
    if (!m_switch.readStatus(st, error))
        return fail(NoAnswer, error);
    Mouse mouse = layout.mouse;
    if (!mouse.hasPosition) {
        mouse.position = st.mousePosition;
        m_out << "The file sets no mouse position: keeping the switch's " << mouse.position << ".\n";
    }
    if (!mouse.hasAcceleration || !mouse.hasSpeed)
        m_out << "The file sets no mouse acceleration or speed, which the switch does not report: sending "
              << "acceleration " << mouse.acceleration << ", speed " << mouse.speed << ".\n";

    const int n = layout.monitors.size();
    const UploadResult sent = m_switch.upload(layout.monitors, mouse);
    if (sent.outcome != UploadResult::Done)
        return fail(NoAnswer, QStringLiteral("upload stopped: %1; nothing after it was sent").arg(failureText(sent)));

    // Read back: the upload only counts once the switch reports what was sent.
    QVector<MonitorEntry> back;
    int failed = 0;
    if (!m_switch.readStatus(st, error) || !m_switch.readLayout(back, failed))
        return fail(NoAnswer, QStringLiteral("uploaded, but the switch does not answer when the layout is read back"));
    if (back != layout.monitors) {
        return fail(NoAnswer,
            QStringLiteral("uploaded, but the switch reports %1 monitor entries that differ from the file")
                .arg(back.size()));
    }
    if (st.mousePosition != mouse.position) {
        return fail(NoAnswer,
            QStringLiteral("uploaded, but the switch reports mouse position %1 instead of %2")
                .arg(st.mousePosition)
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

    const QVector<QRect> screens = desktopScreens();
    QVector<MonitorEntry> monitors;
    QStringList warnings;
    QString error;
    if (!placeScreens(screens, port, row, col, monitors, warnings, error))
        return fail(BadInput, error);
    for (const QString &w : qAsConst(warnings))
        m_err << "spanlinkctl: warning: " << w << Qt::endl;
    QJsonArray list;
    for (const MonitorEntry &m : qAsConst(monitors))
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
