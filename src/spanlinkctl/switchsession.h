#pragma once

#include "kv830data.h"
#include "layoutfile.h"

#include <QRect>
#include <QString>
#include <QVector>

// The switch as both set-up tools talk to it: one open connection, its status, its layout and
// the upload with its read-back. Blocking calls; callers decide when to make them.
namespace SwitchLayout
{
struct SwitchStatus {
    QString version;
    int thisPort = 0;
    int currentPort = 0;
    int entries = 0;
    int mousePosition = 0;
    quint8 presentPorts = 0; // bit p - 1 for port p
    bool highlight = false;
    int highlightDuration = 0;
    bool wrapAround = false;
};

using KV830::UploadResult;
// Why an upload stopped, for people: "the switch refused frame 3 of 6 (monitor entry 2)", or
// "did not answer".
QString failureText(const UploadResult &result);

class SwitchSession
{
public:
    ~SwitchSession();
    bool open();
    void close();
    // The port status, and with `full` also the version and highlight settings; the request
    // that got no answer in `error`.
    bool readStatus(SwitchStatus &status, QString &error, bool full = false);
    // Every entry the last port status announced; false with the entry that got no answer.
    bool readLayout(QVector<MonitorEntry> &monitors, int &failedEntry);
    // `progress` is told each frame before it goes out.
    UploadResult upload(const QVector<MonitorEntry> &monitors, const Mouse &mouse,
        const std::function<void(int frame, int frames)> &progress = {});

private:
    KV830Data m_switch;
    int m_entries = 0; // as the last port status announced
};

// This desktop's screens in device pixels, as placeScreens() wants them. Needs a QGuiApplication.
QVector<QRect> desktopScreens();
} // namespace SwitchLayout
