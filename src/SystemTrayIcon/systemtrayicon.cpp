#include "systemtrayicon.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>

namespace
{
constexpr int s_keptIcons = 8;

// Scenes give pictures as URLs: a file URL becomes its local path, and a resource URL such as
// qrc:/Images/offline.ico becomes the resource path :/Images/offline.ico that QIcon reads.
QString iconPath(const QUrl &url)
{
    QString path = url.toLocalFile();
    if (path.isEmpty())
        path = url.toString();
    if (path.startsWith(QLatin1String("qrc")))
        path.remove(0, 3);
    return path;
}
} // namespace

MyAction::MyAction(QObject *parent)
    : QAction(parent)
{
    setObjectName(QStringLiteral("MyAction"));
}

void MyAction::setIcon(const QUrl &icon)
{
    if (icon == m_icon)
        return;
    QAction::setIcon(QIcon(iconPath(icon)));
    m_icon = icon;
    emit iconChanged();
}

MySeparator::MySeparator(QObject *parent)
    : QObject(parent)
{
    setObjectName(QStringLiteral("MySeparator"));
}

// The widget has no parent: the tray icon may still point at it as its context menu after the
// item is gone, so it is kept for the life of the process.
MyMenu::MyMenu(QQuickItem *parent)
    : QQuickItem(parent)
    , m_menu(new QMenu)
{
    setObjectName(QStringLiteral("MyMenu"));
}

MyMenu::~MyMenu() = default;

int MyMenu::width() const
{
    return m_menu->width();
}

int MyMenu::height() const
{
    return m_menu->height();
}

void MyMenu::setWidth(int width)
{
    if (width == m_menu->width())
        return;
    m_menu->setFixedWidth(width);
    emit widthChanged();
}

void MyMenu::setHeight(int height)
{
    if (height == m_menu->height())
        return;
    m_menu->setFixedHeight(height);
    emit heightChanged();
}

void MyMenu::addSeparator()
{
    m_menu->addSeparator();
}

void MyMenu::addAction(MyAction *action)
{
    m_menu->addAction(action);
}

// A scene may call this with a null object; that adds nothing rather than crashing.
void MyMenu::addMenu(MyMenu *menu)
{
    if (menu)
        m_menu->addMenu(menu->m_menu);
}

// Children are listed in the order they were created, which is the order the scene declares
// them in. The name says what a child is meant to be; the cast keeps an object of another type
// that happens to carry such a name from being used as one.
void MyMenu::componentComplete()
{
    QQuickItem::componentComplete();
    for (QObject *child : children()) {
        const QString name = child->objectName();
        if (name == QLatin1String("MyAction")) {
            if (auto *action = qobject_cast<MyAction *>(child))
                addAction(action);
        } else if (name == QLatin1String("MySeparator")) {
            addSeparator();
        } else if (name == QLatin1String("MyMenu")) {
            if (auto *menu = qobject_cast<MyMenu *>(child))
                addMenu(menu);
        }
    }
}

SystemTrayIcon::SystemTrayIcon(QQuickItem *parent)
    : QQuickItem(parent)
    , m_trayIcon(new QSystemTrayIcon(this))
{
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &SystemTrayIcon::onActivated);
    connect(this, &QQuickItem::visibleChanged, this, &SystemTrayIcon::onVisibleChanged);
    // Items start visible; the icon must not appear before the scene asks for it.
    setVisible(false);
}

SystemTrayIcon::~SystemTrayIcon() = default;

int SystemTrayIcon::x() const
{
    return m_trayIcon->geometry().x();
}

int SystemTrayIcon::y() const
{
    return m_trayIcon->geometry().y();
}

QString SystemTrayIcon::toolTip() const
{
    return m_trayIcon->toolTip();
}

void SystemTrayIcon::setIcon(const QUrl &icon)
{
    if (icon == m_icon)
        return;
    auto known = m_icons.constFind(icon);
    if (known == m_icons.constEnd()) {
        // The scenes use two; a scene that sets ever new ones must not grow this without end.
        if (m_icons.size() >= s_keptIcons)
            m_icons.clear();
        known = m_icons.insert(icon, QIcon(iconPath(icon)));
    }
    m_trayIcon->setIcon(*known);
    m_icon = icon;
    emit iconChanged();
}

void SystemTrayIcon::setToolTip(const QString &toolTip)
{
    if (toolTip == m_toolTip)
        return;
    m_trayIcon->setToolTip(toolTip);
    m_toolTip = toolTip;
    emit toolTipChanged();
}

// The scenes always pass a menu; a null one simply takes the context menu away.
void SystemTrayIcon::setMenu(MyMenu *menu)
{
    if (menu == m_menu)
        return;
    m_menu = menu;
    m_trayIcon->setContextMenu(menu ? menu->m_menu : nullptr);
    emit menuChanged();
}

void SystemTrayIcon::onVisibleChanged()
{
    // Without a tray of the platform's own, Qt on Linux looks for the X11 tray through the
    // platform's native interface, which it does not check for null: a platform without one
    // (minimal) has no tray to show in and would crash there.
    if (!QGuiApplication::platformNativeInterface()) {
        if (isVisible())
            qInfo("This platform has no system tray; the tray icon stays hidden.");
        return;
    }
    m_trayIcon->setVisible(isVisible());
}

// The context menu is opened by the tray icon itself, so only clicks that mean "open" matter.
void SystemTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        emit trigger();
        break;
    case QSystemTrayIcon::Context:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void SystemTrayIcon::onExit()
{
    m_trayIcon->hide();
    QApplication::exit(0);
}
