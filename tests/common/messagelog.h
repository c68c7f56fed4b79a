#pragma once

#include <QStringList>
#include <QtGlobal>

// The messages written while it lives, to check what was logged and what was not; then the old handler.
class MessageLog
{
public:
    MessageLog()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    const QStringList &lines() const { return m_lines; }
    bool contains(const QString &line) const { return m_lines.contains(line); }
    int count(const QString &line) const { return m_lines.count(line); }
    void clear() { m_lines.clear(); }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        if (s_current)
            s_current->m_lines.append(msg);
    }
    static inline MessageLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};
