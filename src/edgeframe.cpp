#include "edgeframe.h"
#include "platform/windowbackground.h"
#include "trace/trace.h"

#include <QGuiApplication>
#include <QPainter>
#include <QQmlProperty>
#include <QQuickItem>
#include <QRasterWindow>
#include <QScreen>

#include <functional>

namespace
{
constexpr int s_parkGap = 64;
} // namespace

// One side of the frame: a plain colour, not in the way of the pointer, never focused, above
// other windows and not managed (a tooltip-kind window is neither decorated nor listed, and
// does not keep the program alive when the scene closes).
class EdgeWindow : public QRasterWindow
{
public:
    EdgeWindow()
    {
        setFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput
            | Qt::WindowDoesNotAcceptFocus);
    }
    QColor colour;
    std::function<void()> drawn;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(QRect(QPoint(), size()), colour);
        if (drawn)
            drawn();
    }
};

EdgeFrame::EdgeFrame(QWindow *scene, QQuickItem *frame, QObject *parent)
    : QObject(parent)
    , m_scene(scene)
    , m_frame(frame)
{
    for (auto &edge : m_edges) {
        edge = std::make_unique<EdgeWindow>();
        edge->drawn = [this] {
            edgeDrawn();
        };
    }
    if (!scene || !frame)
        return;
    // Mapped once, out of sight: bringing a mapped window onto the screen is a move, which costs
    // a fraction of a window's showing.
    for (auto &edge : m_edges) {
        edge->resize(1, 1);
        park(*edge);
        edge->show();
    }
    connect(frame, &QQuickItem::visibleChanged, this, &EdgeFrame::follow);
    connect(frame, &QQuickItem::widthChanged, this, &EdgeFrame::follow);
    connect(frame, &QQuickItem::heightChanged, this, &EdgeFrame::follow);
    connect(frame, &QQuickItem::opacityChanged, this, &EdgeFrame::follow);
    connect(scene, &QWindow::xChanged, this, &EdgeFrame::follow);
    connect(scene, &QWindow::yChanged, this, &EdgeFrame::follow);
    follow();
}

EdgeFrame::~EdgeFrame() = default;

std::array<QRect, 4> EdgeFrame::edges(const QRect &outline, int border)
{
    const int w = outline.width(), h = outline.height();
    const int b = qBound(0, border, qMax(0, qMin(w, h)));
    const int x = outline.x(), y = outline.y();
    const int tall = qMax(0, h - 2 * b); // the sides between the top and the bottom edge
    if (w <= 0 || h <= 0 || b == 0)
        return {};
    // A frame lower than two borders: the top takes its border, the bottom what is left.
    return {QRect(x, y, w, b), QRect(x, y + qMax(b, h - b), w, qMin(b, h - b)), QRect(x, y + b, b, tall),
        QRect(x + w - b, y + b, b, tall)};
}

void EdgeFrame::follow()
{
    if (!m_scene || !m_frame)
        return;
    const bool visible = m_frame->isVisible();
    const QRect outline(m_scene->position() + m_frame->position().toPoint(),
        QSize(qRound(m_frame->width()), qRound(m_frame->height())));
    const int border = QQmlProperty::read(m_frame, QStringLiteral("border.width")).toInt();
    QColor colour = QQmlProperty::read(m_frame, QStringLiteral("border.color")).value<QColor>();
    const std::array<QRect, 4> places = edges(outline, border);

    int brought = 0;
    for (size_t i = 0; i < m_edges.size(); ++i) {
        EdgeWindow &edge = *m_edges[i];
        if (!visible || places[i].isEmpty()) {
            if (m_onScreen[i])
                park(edge), m_onScreen[i] = false;
            continue;
        }
        // Only a compositor blends a window's opacity; without one the edge is drawn solid.
        if (!qFuzzyCompare(edge.opacity(), m_frame->opacity()))
            edge.setOpacity(m_frame->opacity());
        if (edge.colour != colour) {
            // Also as the window's background: the window system shows it as the edge appears.
            edge.colour = colour, edge.update();
            setWindowBackground(&edge, colour);
        }
        if (edge.geometry() != places[i])
            edge.setGeometry(places[i]);
        if (!edge.isVisible())
            edge.show();
        if (!m_onScreen[i]) {
            edge.raise(); // above what was mapped since it was last shown
            m_onScreen[i] = true, ++brought;
        }
    }
    m_waiting = visible ? m_waiting + brought : 0;
    // Their requests go out as the event loop next waits; the window system paints them then.
    if (brought > 0)
        Trace::mark("frame-mapped");
}

void EdgeFrame::park(QWindow &edge)
{
    // Left of the whole desktop, with room to spare, so that no screen shows any of it.
    const QScreen *screen = edge.screen() ? edge.screen() : QGuiApplication::primaryScreen();
    const QRect desktop = screen ? screen->virtualGeometry() : QRect();
    edge.setPosition(desktop.left() - edge.width() - s_parkGap, desktop.top());
}

void EdgeFrame::edgeDrawn()
{
    if (m_waiting > 0 && --m_waiting == 0)
        emit shown();
}
