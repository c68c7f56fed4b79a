#pragma once

#include <QByteArray>
#include <QString>

namespace SwitchLayout
{
// A layout file's bytes, at most MaxFileSize + 1 of them; false with `error` for what is not a
// plain file or cannot be read.
bool readRegularFile(const QString &path, QByteArray &data, QString &error);
} // namespace SwitchLayout
