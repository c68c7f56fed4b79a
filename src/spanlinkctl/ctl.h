#pragma once

#include <QStringList>

class QTextStream;

// The commands of spanlinkctl over the agent's own switch link (KV830Data). Kept apart from
// main() so that tests run them in-process against the virtual switch.
namespace SpanlinkCtl
{
// 1: the switch, or for detect the desktop, does not answer; 2: bad command line or file.
enum Exit { Ok = 0, NoAnswer = 1, BadInput = 2 };

// `arguments` as QCoreApplication::arguments() gives them, the program name first.
int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

// Whether the command line asks for the screens of the desktop, which need a QGuiApplication.
bool needsScreens(const QStringList &arguments);
} // namespace SpanlinkCtl
