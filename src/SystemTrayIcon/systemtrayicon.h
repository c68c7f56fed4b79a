#pragma once

#include <QAction>
#include <QHash>
#include <QIcon>
#include <QQuickItem>
#include <QString>
#include <QSystemTrayIcon>
#include <QUrl>

class QMenu;

// A menu entry a scene can declare. The text and `triggered` are QAction's own; the icon is
// taken as a URL because that is what the declarative engine hands over for "../Images/x.ico".
class MyAction : public QAction
{
    Q_OBJECT
    Q_PROPERTY(QUrl icon READ icon WRITE setIcon NOTIFY iconChanged)

public:
    explicit MyAction(QObject *parent = nullptr);

    QUrl icon() const { return m_icon; }

public slots:
    void setIcon(const QUrl &icon);

signals:
    void iconChanged();

private:
    QUrl m_icon;
};

// A marker: MyMenu sees it among its children by its object name and puts a separator there.
// It carries nothing, so it needs no meta-object of its own.
class MySeparator : public QObject
{
public:
    explicit MySeparator(QObject *parent = nullptr);
};

// A menu a scene declares with actions, separators and sub-menus as children. The widget is
// built once, when the declarative engine reports the object complete.
class MyMenu : public QQuickItem
{
    Q_OBJECT
    // The menu widget's size; these hide the item's own width and height, which nobody draws.
    Q_PROPERTY(int width READ width WRITE setWidth NOTIFY widthChanged)
    Q_PROPERTY(int height READ height WRITE setHeight NOTIFY heightChanged)

public:
    explicit MyMenu(QQuickItem *parent = nullptr);
    ~MyMenu() override;

    int width() const;
    int height() const;

signals:
    void widthChanged();
    void heightChanged();

public slots:
    void setWidth(int width);
    void setHeight(int height);
    void addSeparator();
    void addAction(MyAction *action);
    void addMenu(MyMenu *menu);

protected:
    void componentComplete() override;

private:
    friend class SystemTrayIcon; // hands m_menu to the tray icon as its context menu

    QMenu *m_menu;
};

// The notification-area icon. It stays hidden until the scene makes the item visible.
class SystemTrayIcon : public QQuickItem
{
    Q_OBJECT
    // Where the icon sits on screen; these hide the item's own x and y.
    Q_PROPERTY(int x READ x CONSTANT)
    Q_PROPERTY(int y READ y CONSTANT)
    Q_PROPERTY(QUrl icon READ icon WRITE setIcon NOTIFY iconChanged)
    Q_PROPERTY(QString toolTip READ toolTip WRITE setToolTip NOTIFY toolTipChanged)
    Q_PROPERTY(MyMenu *menu READ menu WRITE setMenu NOTIFY menuChanged)

public:
    explicit SystemTrayIcon(QQuickItem *parent = nullptr);
    ~SystemTrayIcon() override;

    int x() const;
    int y() const;
    QUrl icon() const { return m_icon; }
    QString toolTip() const;
    MyMenu *menu() const { return m_menu; }

signals:
    void trigger();
    void iconChanged();
    void toolTipChanged();
    void menuChanged();

public slots:
    void setIcon(const QUrl &icon);
    void setToolTip(const QString &toolTip);
    void setMenu(MyMenu *menu);
    void onVisibleChanged();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onExit();

private:
    QSystemTrayIcon *m_trayIcon;
    MyMenu *m_menu = nullptr;
    QString m_toolTip;
    QUrl m_icon;
    // Each picture read once. The pictures scaled for the tray are cached under the identity of
    // the icon they came from: an icon read anew on every change (offline, online, ...) would
    // add to that cache with every unplug until the cache is full.
    QHash<QUrl, QIcon> m_icons;
};
