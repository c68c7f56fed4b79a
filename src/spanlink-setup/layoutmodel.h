#pragma once

#include "layoutcheck.h"
#include "layoutfile.h"
#include "switchsession.h"

#include <QAbstractListModel>
#include <QRect>
#include <QStringList>
#include <QUndoStack>
#include <QVector>

// The picture of the switch's grid that Spanlink Setup edits: one row per monitor of every port,
// every edit one undo step, every problem of the layout tied to its monitor as soon as it exists.
class LayoutModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int gridSize READ gridSize CONSTANT)
    Q_PROPERTY(int portCount READ portCount CONSTANT)
    Q_PROPERTY(int minWidth READ minWidth CONSTANT)
    Q_PROPERTY(int minHeight READ minHeight CONSTANT)
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY historyChanged)
    Q_PROPERTY(bool canRedo READ canRedo NOTIFY historyChanged)
    Q_PROPERTY(QString undoText READ undoText NOTIFY historyChanged)
    Q_PROPERTY(QString redoText READ redoText NOTIFY historyChanged)
    Q_PROPERTY(bool modified READ modified NOTIFY historyChanged)
    Q_PROPERTY(QStringList problems READ problemTexts NOTIFY contentChanged)
    Q_PROPERTY(bool valid READ valid NOTIFY contentChanged)
    Q_PROPERTY(int mousePosition READ mousePosition WRITE setMousePosition NOTIFY contentChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY switchChanged)
    Q_PROPERTY(int thisPort READ thisPort NOTIFY switchChanged)
    Q_PROPERTY(int presentPorts READ presentPorts NOTIFY switchChanged)
    Q_PROPERTY(bool highlight READ highlight NOTIFY switchChanged)
    Q_PROPERTY(int highlightDuration READ highlightDuration NOTIFY switchChanged)
    Q_PROPERTY(bool wrapAround READ wrapAround NOTIFY switchChanged)
    Q_PROPERTY(QString fileName READ fileName NOTIFY fileNameChanged)
    Q_PROPERTY(int uploadFrame READ uploadFrame NOTIFY uploadProgressChanged)
    Q_PROPERTY(int uploadFrames READ uploadFrames NOTIFY uploadProgressChanged)

public:
    enum Roles {
        PortRole = Qt::UserRole + 1,
        IndexRole,
        RowRole,
        ColRole,
        WidthRole,
        HeightRole,
        ProblemRole, // the monitor's problems, one a line; empty without
        AccessibleNameRole,
        StackRole, // how many earlier monitors share its cell: drawn offset, so that none hides
    };

    explicit LayoutModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int gridSize() const { return SwitchLayout::GridSize; }
    int portCount() const { return SwitchLayout::PortCount; }
    int minWidth() const { return SwitchLayout::MinWidth; }
    int minHeight() const { return SwitchLayout::MinHeight; }
    bool canUndo() const { return m_undo.canUndo(); }
    bool canRedo() const { return m_undo.canRedo(); }
    QString undoText() const { return m_undo.undoText(); }
    QString redoText() const { return m_undo.redoText(); }
    bool modified() const { return !m_undo.isClean(); }
    const SwitchLayout::Layout &layout() const { return m_layout; }
    const QVector<SwitchLayout::Problem> &problems() const { return m_problems; }
    QStringList problemTexts() const;
    bool valid() const { return m_problems.isEmpty(); }
    int mousePosition() const { return m_layout.mouse.position; }
    void setMousePosition(int position);
    bool connected() const { return m_connected; }
    int thisPort() const { return m_status.thisPort; }
    int presentPorts() const { return m_status.presentPorts; }
    bool highlight() const { return m_status.highlight; }
    int highlightDuration() const { return m_status.highlightDuration; }
    bool wrapAround() const { return m_status.wrapAround; }
    QString fileName() const { return m_fileName; }
    // The frame of a running upload and how many it has; 0 and 0 outside one.
    int uploadFrame() const { return m_uploadFrame; }
    int uploadFrames() const { return m_uploadFrames; }

    // Edits, each one undo step; false (and nothing changes) when it would change nothing or
    // the values cannot be a monitor's.
    Q_INVOKABLE bool moveTo(int entry, int row, int col);
    Q_INVOKABLE int addMonitor(int port, int row, int col, int width, int height);
    Q_INVOKABLE bool removeMonitor(int entry);
    Q_INVOKABLE bool resize(int entry, int width, int height);
    Q_INVOKABLE void undo() { m_undo.undo(); }
    Q_INVOKABLE void redo() { m_undo.redo(); }
    // The monitor in a cell, or -1.
    Q_INVOKABLE int entryAt(int row, int col) const;
    // The first cell that holds no monitor, as row * 100 + col; 0 when the grid is full.
    Q_INVOKABLE int freeCell() const;
    // Whether a port is present at the switch; without a switch every port counts as present.
    Q_INVOKABLE bool portPresent(int port) const;

    // Files as spanlinkctl reads and writes them; an empty result means done, otherwise one line.
    Q_INVOKABLE QString open(const QString &path);
    Q_INVOKABLE QString save(const QString &path);
    // A whole layout from a file or the switch, with an empty history.
    void setLayout(const SwitchLayout::Layout &layout);

    // This computer's screens as the monitors of `port` from cell (row, col), replacing that
    // port's monitors; warnings and errors as lines, empty when it fitted cleanly.
    Q_INVOKABLE QString detect(int port, int row, int col);
    QString placeScreens(const QVector<QRect> &screens, int port, int row, int col);

    // The switch: read its status and layout into the picture, or upload the picture and read it
    // back. Empty result: done; otherwise the line that says what went wrong.
    Q_INVOKABLE QString readSwitch();
    Q_INVOKABLE QString upload();

signals:
    void historyChanged();
    void contentChanged(); // the monitors, their problems or the mouse setting
    void switchChanged();
    void fileNameChanged();
    void uploadProgressChanged();

private:
    friend class LayoutEdit;
    void edit(const SwitchLayout::Layout &after, const QString &what);
    void apply(const SwitchLayout::Layout &layout);
    QString accessibleName(int entry) const;

    SwitchLayout::Layout m_layout;
    QVector<SwitchLayout::Problem> m_problems;
    QUndoStack m_undo;
    SwitchLayout::SwitchSession m_switch;
    SwitchLayout::SwitchStatus m_status;
    bool m_connected = false;
    QString m_fileName;
    int m_uploadFrame = 0;
    int m_uploadFrames = 0;
};
