#include "layoutmodel.h"

#include "layoutread.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QUndoCommand>

using namespace SwitchLayout;

// One edit as the layouts before and after it: a whole layout is a few kilobytes at most.
class LayoutEdit : public QUndoCommand
{
public:
    LayoutEdit(LayoutModel *model, const Layout &before, const Layout &after, const QString &text)
        : QUndoCommand(text)
        , m_model(model)
        , m_before(before)
        , m_after(after)
    {
    }
    void undo() override { m_model->apply(m_before); }
    void redo() override { m_model->apply(m_after); }

private:
    LayoutModel *m_model;
    Layout m_before, m_after;
};

LayoutModel::LayoutModel(QObject *parent)
    : QAbstractListModel(parent)
{
    m_layout.mouse.hasPosition = true;
    connect(&m_undo, &QUndoStack::indexChanged, this, &LayoutModel::historyChanged);
    connect(&m_undo, &QUndoStack::cleanChanged, this, &LayoutModel::historyChanged);
}

int LayoutModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_layout.monitors.size();
}

QVariant LayoutModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_layout.monitors.size())
        return {};
    const MonitorEntry &m = m_layout.monitors.at(index.row());
    switch (role) {
    case PortRole:
        return m.port;
    case IndexRole:
        return m.index;
    case RowRole:
        return m.row;
    case ColRole:
        return m.col;
    case WidthRole:
        return m.width;
    case HeightRole:
        return m.height;
    case ProblemRole: {
        QStringList lines;
        for (const Problem &p : m_problems) {
            if (p.entry == index.row())
                lines << p.text;
        }
        return lines.join(QLatin1Char('\n'));
    }
    case StackRole: {
        int below = 0;
        for (int i = 0; i < index.row(); ++i)
            below += m_layout.monitors.at(i).row == m.row && m_layout.monitors.at(i).col == m.col;
        return below;
    }
    case AccessibleNameRole:
    case Qt::DisplayRole:
        return accessibleName(index.row());
    }
    return {};
}

QHash<int, QByteArray> LayoutModel::roleNames() const
{
    return {{PortRole, "port"}, {IndexRole, "monitorIndex"}, {RowRole, "row"}, {ColRole, "col"}, {WidthRole, "width"},
        {HeightRole, "height"}, {ProblemRole, "problem"}, {AccessibleNameRole, "accessibleName"}, {StackRole, "stack"}};
}

QString LayoutModel::accessibleName(int entry) const
{
    const MonitorEntry &m = m_layout.monitors.at(entry);
    QString name = QStringLiteral("port %1, monitor %2, %3 by %4, row %5 column %6")
                       .arg(m.port)
                       .arg(m.index)
                       .arg(m.width)
                       .arg(m.height)
                       .arg(m.row)
                       .arg(m.col);
    for (const Problem &p : m_problems) {
        if (p.entry == entry)
            name += QStringLiteral("; problem: ") + p.text;
    }
    return name;
}

QStringList LayoutModel::problemTexts() const
{
    QStringList out;
    for (const Problem &p : m_problems) {
        if (p.entry < 0) {
            out << p.text;
        } else {
            const MonitorEntry &m = m_layout.monitors.at(p.entry);
            out << QStringLiteral("port %1, monitor %2: %3").arg(m.port).arg(m.index).arg(p.text);
        }
    }
    return out;
}

void LayoutModel::apply(const Layout &layout)
{
    // Same rows: the tiles stay, and so does the keyboard focus on the one that moved.
    const bool sameRows = layout.monitors.size() == m_layout.monitors.size();
    if (!sameRows)
        beginResetModel();
    m_layout = layout;
    m_problems = check(m_layout);
    if (sameRows) {
        if (!m_layout.monitors.isEmpty())
            emit dataChanged(index(0), index(m_layout.monitors.size() - 1));
    } else {
        endResetModel();
    }
    emit contentChanged();
}

void LayoutModel::edit(const Layout &after, const QString &what)
{
    m_undo.push(new LayoutEdit(this, m_layout, after, what)); // push() runs redo()
}

void LayoutModel::setLayout(const Layout &layout)
{
    // A new starting point: nothing before it to undo to.
    m_undo.clear();
    apply(layout);
}

bool LayoutModel::moveTo(int entry, int row, int col)
{
    if (entry < 0 || entry >= m_layout.monitors.size() || row < 1 || row > GridSize || col < 1 || col > GridSize)
        return false;
    const MonitorEntry &m = m_layout.monitors.at(entry);
    if (m.row == row && m.col == col)
        return false;
    Layout after = m_layout;
    after.monitors[entry].row = row;
    after.monitors[entry].col = col;
    edit(after,
        QStringLiteral("move port %1, monitor %2 to row %3 column %4").arg(m.port).arg(m.index).arg(row).arg(col));
    return true;
}

int LayoutModel::addMonitor(int port, int row, int col, int width, int height)
{
    if (port < 1 || port > PortCount || row < 1 || row > GridSize || col < 1 || col > GridSize || width < MinWidth
        || width > 65535 || height < MinHeight || height > 65535 || m_layout.monitors.size() >= MaxEntries)
        return -1;
    int index = 0;
    for (const MonitorEntry &m : qAsConst(m_layout.monitors)) {
        if (m.port == port)
            index = qMax(index, m.index);
    }
    if (index >= 255)
        return -1;
    Layout after = m_layout;
    after.monitors.append({port, index + 1, row, col, width, height});
    edit(after, QStringLiteral("add monitor %1 to port %2").arg(index + 1).arg(port));
    return m_layout.monitors.size() - 1;
}

bool LayoutModel::removeMonitor(int entry)
{
    if (entry < 0 || entry >= m_layout.monitors.size())
        return false;
    Layout after = m_layout;
    const MonitorEntry m = after.monitors.takeAt(entry);
    edit(after, QStringLiteral("remove port %1, monitor %2").arg(m.port).arg(m.index));
    return true;
}

bool LayoutModel::resize(int entry, int width, int height)
{
    if (entry < 0 || entry >= m_layout.monitors.size() || width < MinWidth || width > 65535 || height < MinHeight
        || height > 65535)
        return false;
    const MonitorEntry &m = m_layout.monitors.at(entry);
    if (m.width == width && m.height == height)
        return false;
    Layout after = m_layout;
    after.monitors[entry].width = width;
    after.monitors[entry].height = height;
    edit(after,
        QStringLiteral("size of port %1, monitor %2 to %3 by %4").arg(m.port).arg(m.index).arg(width).arg(height));
    return true;
}

void LayoutModel::setMousePosition(int position)
{
    if (position == m_layout.mouse.position || position < 0 || position > MaxPosition)
        return;
    Layout after = m_layout;
    after.mouse.position = position;
    after.mouse.hasPosition = true;
    edit(after, QStringLiteral("mouse position %1").arg(position));
}

int LayoutModel::entryAt(int row, int col) const
{
    for (int i = 0; i < m_layout.monitors.size(); ++i) {
        if (m_layout.monitors.at(i).row == row && m_layout.monitors.at(i).col == col)
            return i;
    }
    return -1;
}

int LayoutModel::freeCell() const
{
    for (int r = 1; r <= GridSize; ++r) {
        for (int c = 1; c <= GridSize; ++c) {
            if (entryAt(r, c) < 0)
                return r * 100 + c;
        }
    }
    return 0;
}

bool LayoutModel::portPresent(int port) const
{
    return !m_connected || (port >= 1 && port <= PortCount && ((m_status.presentPorts >> (port - 1)) & 1));
}

QString LayoutModel::open(const QString &path)
{
    QByteArray data;
    QString error;
    if (!readRegularFile(path, data, error))
        return QStringLiteral("cannot read %1: %2").arg(path, error);
    Layout layout;
    if (!parse(data, layout, error))
        return QStringLiteral("%1: %2").arg(path, error);
    // The switch keeps its mouse position when a file sets none.
    if (!layout.mouse.hasPosition) {
        layout.mouse.position = m_layout.mouse.position;
        layout.mouse.hasPosition = true;
    }
    setLayout(layout);
    m_fileName = path;
    emit fileNameChanged();
    return {};
}

QString LayoutModel::save(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    file.write(QJsonDocument(toJson(m_layout)).toJson(QJsonDocument::Indented));
    if (!file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    m_undo.setClean();
    m_fileName = path;
    emit fileNameChanged();
    return {};
}

QString LayoutModel::detect(int port, int row, int col)
{
    return placeScreens(desktopScreens(), port, row, col);
}

QString LayoutModel::placeScreens(const QVector<QRect> &screens, int port, int row, int col)
{
    if (port < 1 || port > PortCount || row < 1 || row > GridSize || col < 1 || col > GridSize)
        return QStringLiteral("port %1 at row %2 column %3 is not a place in the grid").arg(port).arg(row).arg(col);
    QVector<MonitorEntry> placed;
    QStringList warnings;
    QString error;
    if (!SwitchLayout::placeScreens(screens, port, row, col, placed, warnings, error))
        return error;
    Layout after = m_layout;
    after.monitors.erase(std::remove_if(after.monitors.begin(), after.monitors.end(),
                             [port](const MonitorEntry &m) { return m.port == port; }),
        after.monitors.end());
    after.monitors += placed;
    if (after.monitors.size() > MaxEntries)
        return QStringLiteral("%1 monitors, the switch holds at most %2").arg(after.monitors.size()).arg(MaxEntries);
    edit(after, QStringLiteral("detect port %1").arg(port));
    return warnings.join(QLatin1Char('\n'));
}

QString LayoutModel::readSwitch()
{
    m_switch.close();
    m_connected = m_switch.open();
    QString error;
    if (m_connected && !m_switch.readStatus(m_status, error, true))
        m_connected = false;
    emit switchChanged();
    if (!m_connected)
        return error.isEmpty() ? QStringLiteral("no switch answers: none is attached, or this user may not open it")
                               : error;
    Layout layout;
    int failed = 0;
    if (!m_switch.readLayout(layout.monitors, failed))
        return QStringLiteral("the switch does not answer for monitor entry %1 of %2")
            .arg(failed)
            .arg(m_status.entries);
    layout.mouse.position = m_status.mousePosition;
    layout.mouse.hasPosition = true;
    setLayout(layout);
    return {};
}

QString LayoutModel::upload()
{
    if (!m_problems.isEmpty())
        return QStringLiteral("not uploaded: %1").arg(problemTexts().value(0));
    if (!m_connected && !m_switch.open())
        return QStringLiteral("no switch answers: none is attached, or this user may not open it");
    m_connected = true;
    // The upload runs here, frame by frame; the view is drawn between frames (input waits) so
    // that it shows how far it got.
    const UploadResult r = m_switch.upload(m_layout.monitors, m_layout.mouse, [this](int frame, int frames) {
        m_uploadFrame = frame;
        m_uploadFrames = frames;
        emit uploadProgressChanged();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    m_uploadFrame = m_uploadFrames = 0;
    emit uploadProgressChanged();
    if (r.outcome == UploadResult::Silent) {
        // A switch that does not answer is reopened for the next try: it may have been replugged.
        m_switch.close();
        m_connected = false;
        emit switchChanged();
    }
    if (r.outcome != UploadResult::Done)
        return QStringLiteral("upload stopped: %1; nothing after it was sent").arg(failureText(r));
    SwitchStatus status;
    QString error;
    QVector<MonitorEntry> back;
    int failed = 0;
    if (!m_switch.readStatus(status, error, true) || !m_switch.readLayout(back, failed))
        return QStringLiteral("uploaded, but the switch does not answer when the layout is read back");
    m_status = status;
    emit switchChanged();
    QStringList diff;
    for (int i = 0; i < qMax(back.size(), m_layout.monitors.size()); ++i) {
        if (i >= back.size())
            diff << QStringLiteral("entry %1 is missing").arg(i + 1);
        else if (i >= m_layout.monitors.size())
            diff << QStringLiteral("entry %1 was not sent").arg(i + 1);
        else if (!(back.at(i) == m_layout.monitors.at(i)))
            diff << QStringLiteral("entry %1 reads back as %2")
                        .arg(i + 1)
                        .arg(QString::fromUtf8(QJsonDocument(toJson(back.at(i))).toJson(QJsonDocument::Compact)));
    }
    if (status.mousePosition != m_layout.mouse.position)
        diff << QStringLiteral("mouse position reads back as %1").arg(status.mousePosition);
    if (!diff.isEmpty())
        return QStringLiteral("uploaded, but the switch differs: ") + diff.join(QStringLiteral("; "));
    m_undo.setClean();
    return {};
}
