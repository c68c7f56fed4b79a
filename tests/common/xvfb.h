#pragma once

#include "need.h"

#include <QProcess>

// An Xvfb on a display it picks itself (-displayfd), one X screen per size, ended by its owner.
class Xvfb
{
public:
    bool start(const QString &screen = QStringLiteral("1920x1080x24")) { return start(QStringList {screen}); }
    bool start(const QStringList &screens)
    {
        QStringList args = QStringLiteral("-displayfd 1 -noreset -nolisten tcp").split(QLatin1Char(' '));
        for (int i = 0; i < screens.size(); ++i)
            args << QStringLiteral("-screen") << QString::number(i) << screens.at(i);
        m_process.start(QStringLiteral("Xvfb"), args);
        if (!m_process.waitForStarted(5000))
            return false;
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(10000))
                return false;
        m_display = QStringLiteral(":") + QString::fromLatin1(m_process.readLine().trimmed());
        return true;
    }
    ~Xvfb()
    {
        m_process.terminate(); // a no-op when it is not running
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};
