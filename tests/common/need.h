#pragma once

// The programs a test starts. A missing one fails the test with one line that names it and its
// Debian package, read from the table scripts/setup.sh installs from (scripts/lib/commands).

#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <initializer_list>

namespace Need
{
inline QString packageOf(const QString &command)
{
    QFile table(QStringLiteral(SPANLINK_COMMANDS_TABLE));
    if (table.open(QIODevice::ReadOnly | QIODevice::Text))
        while (!table.atEnd()) {
            const QStringList f = QString::fromUtf8(table.readLine()).simplified().split(QLatin1Char(' '));
            if (f.size() >= 2 && f.at(0) == command)
                return f.at(1);
        }
    return QStringLiteral("the package that has it (it is missing from scripts/lib/commands)");
}

// One line for the first command that is not on the PATH; empty when all are.
inline QString missing(std::initializer_list<const char *> commands)
{
    for (const char *c : commands) {
        const QString command = QString::fromLatin1(c);
        if (QStandardPaths::findExecutable(command).isEmpty())
            return QStringLiteral("%1 not found: install %2 (scripts/setup.sh does)").arg(command, packageOf(command));
    }
    return {};
}
} // namespace Need

// In a test function: fails it, naming the first missing program and its package.
#define NEED(...)                                                                                                      \
    do {                                                                                                               \
        const QString needMissing_ = Need::missing({__VA_ARGS__});                                                     \
        if (!needMissing_.isEmpty())                                                                                   \
            QFAIL(qPrintable(needMissing_));                                                                           \
    } while (false)
