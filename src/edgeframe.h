#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QRect>

#include <array>
#include <memory>

class QQuickItem;
class QWindow;
class EdgeWindow;

// Draws the scene's highlight rectangle as four thin windows along its edges, one for each
// side, where the scene's window would lie; hidden, they wait mapped out of sight. The monitor inside stays the
// desktop's own: no window covers it, so nothing has to be see-through, with or without a compositor, and no buffer of
// a monitor's size is kept. Follows the rectangle's visibility, size and border, and the scene window's place (the
// scene moves its window over the entered monitor); the scene window itself is never shown.
class EdgeFrame : public QObject
{
    Q_OBJECT

public:
    // `frame`: the scene's rectangle with its border; `scene`: the window the scene places.
    EdgeFrame(QWindow *scene, QQuickItem *frame, QObject *parent = nullptr);
    ~EdgeFrame() override;

    // The four edges' places while shown: top, bottom, left, right; empty ones are not shown.
    static std::array<QRect, 4> edges(const QRect &outline, int border);

signals:
    // All four edges have been drawn since the frame was last shown.
    void shown();

private:
    void follow();
    void edgeDrawn();
    static void park(QWindow &edge);

    QPointer<QWindow> m_scene;
    QPointer<QQuickItem> m_frame;
    std::array<std::unique_ptr<EdgeWindow>, 4> m_edges;
    std::array<bool, 4> m_onScreen {};
    int m_waiting = 0; // edges brought on screen but not drawn yet
};
