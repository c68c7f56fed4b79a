#pragma once

#include <QObject>
#include <QString>

// The daily log file: every message of the process becomes one line in
// <app data>/VORN/Spanlink/log<yyyy-MM-dd>.txt; the file of thirty days ago is removed.
class QLogger : public QObject
{
    Q_OBJECT

public:
    static void start();
    static void finish();

    // The directory and the file a message of `date` goes to.
    static QString logDir();
    static QString logFile(const QDate &date);
};
