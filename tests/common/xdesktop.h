#pragma once

// An X display as a test sees it: window tree, screenshots, trayer's tray icon, colours.

#include <QtGui>

namespace XDesktop
{
inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray run(const QString &display, const QString &program, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

// One window a line: "<id> "name": (class)  WxH+x+y  +absX+absY".
inline QString tree(const QString &display)
{
    return QString::fromLocal8Bit(
        run(display, QStringLiteral("xwininfo"), QStringLiteral("-root -tree").split(QLatin1Char(' '))));
}

// The whole screen, also saved to `path` for a person to look at.
inline QImage screenshot(const QString &display, const QString &path)
{
    const QImage image = QImage::fromData(
        run(display, QStringLiteral("import"), QStringLiteral("-window root png:-").split(QLatin1Char(' '))));
    QDir().mkpath(QFileInfo(path).absolutePath());
    image.save(path);
    return image;
}

// A tray host without a window manager, top right, 32 px high.
inline QStringList trayerArguments()
{
    return QStringLiteral("--edge top --align right --widthtype request --height 32 --SetDockType true "
                          "--transparent false")
        .split(QLatin1Char(' '));
}

// The agent's tray icon inside trayer's panel; invalid while there is none.
inline QRect trayIcon(const QString &display)
{
    const QString t = tree(display);
    const int panel = t.indexOf(QLatin1String("(\"panel\" \"trayer\")"));
    const auto m
        = QRegularExpression(QStringLiteral("\"Spanlink\".*\\s(\\d+)x(\\d+)\\+\\d+\\+\\d+\\s+\\+(\\d+)\\+(\\d+)"))
              .match(t, qMax(0, panel));
    if (panel < 0 || !m.hasMatch())
        return {};
    return {m.captured(3).toInt(), m.captured(4).toInt(), m.captured(1).toInt(), m.captured(2).toInt()};
}

template <typename F> void eachPixel(const QImage &image, const QRect &r, F f)
{
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            f(image.pixelColor(x, y));
}

// Mean colour of a rectangle; invalid for an empty one.
inline QColor mean(const QImage &image, const QRect &r)
{
    qint64 red = 0, green = 0, blue = 0, n = 0;
    eachPixel(image, r, [&](const QColor &c) { red += c.red(), green += c.green(), blue += c.blue(), ++n; });
    return n ? QColor(int(red / n), int(green / n), int(blue / n)) : QColor();
}

// Pixels of a rectangle within `tolerance` (summed over the channels) of a colour.
inline int pixelsNear(const QImage &image, const QRect &r, const QColor &colour, int tolerance = 40)
{
    int n = 0;
    eachPixel(image, r, [&](const QColor &c) {
        n += qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue())
            < tolerance;
    });
    return n;
}
} // namespace XDesktop
