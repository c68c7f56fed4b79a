#include "windowbackground.h"

#include <QGuiApplication>
#include <QWindow>

#ifdef SPANLINK_HAVE_X11
#include <X11/Xlib.h>

namespace
{
// A connection of our own: window attributes belong to the server, whoever sets them.
Display *display()
{
    static Display *s_display
        = QGuiApplication::platformName() == QLatin1String("xcb") ? XOpenDisplay(nullptr) : nullptr;
    return s_display;
}
} // namespace

void setWindowBackground(QWindow *window, const QColor &colour)
{
    Display *d = display();
    if (!d || !window)
        return;
    const Window id = Window(window->winId());
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, id, &attributes) || attributes.depth != 24)
        return; // a pixel of another visual is not a plain RGB value
    XSetWindowBackground(d, id, colour.rgb() & 0xFFFFFF);
    XFlush(d);
}

#else
void setWindowBackground(QWindow *, const QColor &) { }
#endif
