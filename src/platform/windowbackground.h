#pragma once

#include <QColor>

class QWindow;

// Gives a window a plain background colour that the window system paints itself the moment the
// window is mapped, before the program has drawn anything (X11: the window's background pixel).
// Elsewhere, and on other platforms, a no-op: the window's own first paint shows it.
void setWindowBackground(QWindow *window, const QColor &colour);
