#pragma once

#include "kv830data.h"
#include "monitorlogic.h"
#include "platform/inputhooks.h"

#include <QDebug>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <QRect>
#include <QVector>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QTimer;

// Where a message is said, so that it can be written later as if said there.
struct LogPlace {
    const char *file;
    int line;
    const char *function;
};
#define SPANLINK_LOG_PLACE                                                                                             \
    LogPlace                                                                                                           \
    {                                                                                                                  \
        QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC                                                     \
    }

// The switching engine. The hook procedures are static and get no object, so the engine's
// state lives in one process-wide instance, getInstance(); the element that the scene creates
// is a second Monitor that holds the hooks, the device status and the speed timer, and
// forwards to the engine instance.
class Monitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int devstatus READ devstatus NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap frameInfo READ frameInfo NOTIFY monitorChanged)
    // Empty, or why the switch's port cannot be relied on (another agent configured for it).
    Q_PROPERTY(QString portNote READ portNote NOTIFY portNoteChanged)
    // Why crossings cannot happen in this session, for the tray tooltip; empty when they can.
    Q_PROPERTY(QString sessionNote READ sessionNote CONSTANT)

public:
    explicit Monitor(QObject *parent = nullptr);
    ~Monitor() override;

    static Monitor *getInstance();

    // Low-level hook procedures: hook code, message identifier, address of the event record.
    // A non-zero result without passing the event on swallows it.
    static std::intptr_t mouseProc(int code, std::uintptr_t message, std::intptr_t record);
    static std::intptr_t keyboardProc(int code, std::uintptr_t message, std::intptr_t record);

    int devstatus() const { return m_devstatus; }
    QVariantMap frameInfo() const;
    QString portNote() const;
    QString sessionNote() const;

    // False when the switch says the focus is not here: no arrival, nothing done.
    bool getMouseData();
    void readPortStatus();
    // Starts reading the layout; it is read a few entries per turn of the event loop and
    // replaces the one in force only once complete. Starting again restarts the read.
    void buildLayout();
    bool layoutReading() const;
    // The rest of a layout read at once, without giving the event loop a turn.
    void readLayoutToEnd();
    // After a heartbeat: whether the switch's layout differs from the one in force, asked with
    // the port status and a share of the entries, a few per turn; a difference starts a read.
    void watchLayout();
    bool layoutWatching() const;
    void computeOwnGeometry();

signals:
    void statusChanged();
    void monitorChanged();
    void portNoteChanged();

public slots:
    void getDeviceStatus();
    void notifyToQml();
    void getMouseSpeed();
    void stopMouseMove();

public:
    Q_INVOKABLE bool setHook();
    Q_INVOKABLE bool connectDevice();
    Q_INVOKABLE void uninstallHook();
    Q_INVOKABLE QVariantMap getMouseHighlightData();

    // Engine state. The element uses its own hooks, m_devstatus and m_speedTimer; everything
    // else is read and written on the engine instance.
    HookHandle m_mouseHook = nullptr;
    HookHandle m_keyboardHook = nullptr;
    std::optional<QPoint> m_lastPointer; // last handled pointer position; none before the first
    int m_switchPending = 0;
    // How long pointer input is held after an accepted switch request.
    static constexpr int PendingMsec = 50;
    int m_curPort = 0;
    int m_apPort = 0;
    int m_listCount = 0;
    int m_mousePosition = 0;
    int m_edgeMargin = 5;
    int m_cornerMargin = 10;
    bool m_connected = false;
    QMap<QString, QVariantMap> m_ownMonitors;
    QMap<QString, QVariantMap> m_allMonitors;
    KV830Data m_device;
    int m_devstatus = 0;
    int m_originRow = 0, m_originCol = 0;
    int m_lastRow = 0, m_lastCol = 0;
    QVariantMap m_frameInfo;
    quint8 m_portMask = 0;
    QTimer *m_speedTimer = nullptr;
    MonitorLogic::SpeedMeter m_speedSamples;
    // Milliseconds of a clock that never goes back; tests put their own in place.
    std::int64_t (*m_clock)() = &steadyMsec;
    static std::int64_t steadyMsec();
    int m_cyclicSwitch = 0;
    int m_leftButtonDown = 0, m_rightButtonDown = 0;
    // This computer's screens in desktop pixels; unset, the application's screens. The sizes
    // the switch reports are checked against them, never trusted for the highlight.
    std::function<QVector<QRect>()> m_screenSource;
    bool m_placedOnScreens = false; // the own monitors lie on the matching screens, not by cells alone
    QRect m_desktop; // their bounding rectangle, as of the last layout read or screen change
    float m_desktopRight = MonitorLogic::NoDesktop, m_desktopBottom = MonitorLogic::NoDesktop;
    int m_desktopLeft = 0, m_desktopTop = 0; // 0, or less where screens lie left of or above the origin
    void refreshDesktop();
    // The screens changed: the own monitors and the desktop's edges follow.
    void followScreens();

private:
    struct CellEntry {
        int port = 0;
        int row = 0;
        int col = 0;
    };

    // Values read from the maps are integers; a missing key reads as 0.
    static int intOf(const QVariantMap &map, const QString &key) { return map.value(key).toInt(); }
    void installHooks();
    // Moves the system pointer: through the input hooks where they can, else the toolkit.
    static void placePointer(int x, int y);
    void pointerMoved(std::int32_t X, std::int32_t Y);
    enum class Request { NotMade, Accepted, Refused };
    Request requestSwitch(const MonitorLogic::OwnCell &current, MonitorLogic::Cell target, int code, int percent);
    // Whether some other port's monitor lies beyond side `code` of own monitor `index`, present
    // or not: else no request can follow, whatever the switch says.
    bool mayCross(size_t index, int code) const;
    void rebuildCrossable();
    // The hook procedures leave the scene and the log to the event loop, right after the event.
    void monitorChangedLater();
    template <typename Work> static void later(Work &&work)
    {
        QMetaObject::invokeMethod(getInstance(), std::forward<Work>(work), Qt::QueuedConnection);
    }
    static void debugLater(LogPlace place, const char *message)
    {
        later([place, message] { QMessageLogger(place.file, place.line, place.function).debug("%s", message); });
    }
    const CellEntry *cellAt(MonitorLogic::Cell cell) const;
    // The pointer handler's view of the layout, rebuilt with it: the own monitors in key
    // order with their bounds as numbers, and every monitor's port by cell.
    void rebuildPointerIndex();
    // Gives monitors too small to leave the bounds of the screen they lie on, in that index.
    void standInForSmallMonitors();
    static bool isTooSmall(const QVariantMap &entry);
    QVector<QRect> screens() const;
    // Logs (kept in the log file) where the layout and this desktop disagree, and monitors of no area.
    void checkLayout() const;
    // An own monitor's rectangle on this desktop.
    static QRect ownRect(const QVariantMap &entry);
    // The highlight rectangle, clipped to this desktop.
    QRectF highlightRect(const QRectF &monitor) const;

    // A layout read in progress: the entries read so far, kept apart from the layout in force.
    struct LayoutRead {
        bool active = false;
        int attempt = 0;
        int count = 0;
        int next = 1;
        int apPort = 0;
        quint32 strays = 0; // the command layer's count of stray answers when the read began
        QMap<QString, QVariantMap> own;
        QMap<QString, QVariantMap> all;
        QVector<std::optional<KV830::MonitorEntry>> entries; // as the switch answered, by index; none where it refused
    };
    void startLayoutRead(int attempt);
    void stopLayoutRead();
    void readLayoutSlice();
    void readLayoutEntry(int index);
    void finishLayoutRead();
    LayoutRead m_layoutRead;
    QTimer *m_layoutTimer = nullptr;

    // The switch's answers behind the layout in force, by index, and the port it was read for:
    // what the watch compares with.
    QVector<std::optional<KV830::MonitorEntry>> m_layoutEntries;
    int m_layoutApPort = 0;
    struct LayoutWatch {
        bool active = false;
        int left = 0; // entries still to compare after this heartbeat
        quint32 strays = 0;
    };
    LayoutWatch m_watch;
    int m_watchNext = 1; // the entry compared next, in turn over the heartbeats
    QTimer *m_watchTimer = nullptr;
    void watchSlice();
    void stopWatch();
    // Reads the layout again now, with a fresh port status or the one just read; `why` goes to the log.
    void rereadLayout(const char *why);
    void readLayoutFrom(const KV830::PortStatus &portStatus, const char *why);
    // The port status from the switch; an answer also updates m_portMask.
    std::optional<KV830::PortStatus> askPortStatus();

    std::vector<MonitorLogic::OwnCell> m_ownCells;
    // Per own monitor: bit code - 1 set when mayCross without wrap-around, bit code + 7 with it.
    std::vector<quint16> m_crossable;
    // The band (own cell and code) of the push whose request was refused or led nowhere: not
    // asked again until the pointer leaves it.
    struct Push {
        int row = 0, col = 0, code = 0;
        bool operator==(const Push &o) const { return row == o.row && col == o.col && code == o.code; }
    };
    Push m_push;
    bool m_changePosted = false;
    // Of the element: its last change said to the scene (those held back count too), so that
    // one held back is not said after a later one.
    int m_sceneChanges = 0;
    QHash<quint64, CellEntry> m_cells;
};
