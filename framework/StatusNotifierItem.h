#pragma once

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QIcon>
#include <QObject>
#include <QString>

class CDBusMenuExporter;
class QMenu;

// One size of an icon: width, height and ARGB32 pixels in network byte order, (iiay).
struct DBusImage
{
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using DBusImageList = QList<DBusImage>;

// A tooltip: icon name, icon, title and text, (sa(iiay)ss).
struct DBusToolTip
{
    QString iconName;
    DBusImageList image;
    QString title;
    QString description;
};

Q_DECLARE_METATYPE(DBusImage)
Q_DECLARE_METATYPE(DBusToolTip)

QDBusArgument& operator<<(QDBusArgument& argument, const DBusImage& image);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusImage& image);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusToolTip& toolTip);

// The program's own icon on a StatusNotifierItem panel, for when Qt made an XEmbed icon because
// no such panel was there at start: an org.kde.StatusNotifierItem on the session bus with its
// menu exported beside it. Register() hands it to the watcher, again each time a new watcher
// comes. The panel's calls only post signals, which run after the call has returned.
class CStatusNotifierItem : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconThemePath READ IconThemePath)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(DBusImageList IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ Empty)
    Q_PROPERTY(DBusImageList OverlayIconPixmap READ NoImage)
    Q_PROPERTY(QString AttentionIconName READ Empty)
    Q_PROPERTY(DBusImageList AttentionIconPixmap READ NoImage)
    Q_PROPERTY(QString AttentionMovieName READ Empty)
    Q_PROPERTY(DBusToolTip ToolTip READ ToolTip)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)

public:
    // The menu stays owned by the caller and must outlive this object.
    CStatusNotifierItem(const QIcon& icon, const QString& title, QMenu* menu, QObject* parent = nullptr);
    ~CStatusNotifierItem() override;

    // Exports the item and its menu (the first time) and asks the watcher to show it;
    // registered() follows once the watcher has taken it.
    void Register();
    QString ServiceName() const { return m_strService; }

    void SetIcon(const QIcon& icon);
    void SetToolTip(const QString& text);
    void SetStatus(const QString& status);

    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const;
    QString Title() const { return m_strTitle; }
    QString Status() const { return m_strStatus; }
    int WindowId() const { return 0; }
    QString IconThemePath() const { return {}; }
    QString IconName() const { return m_icon.name(); }
    DBusImageList IconPixmap() const { return m_pixmaps; }
    QString Empty() const { return {}; }
    DBusImageList NoImage() const { return {}; }
    DBusToolTip ToolTip() const { return {QString(), {}, m_strToolTip, QString()}; }
    bool ItemIsMenu() const { return false; }
    QDBusObjectPath Menu() const;

    // The pixels of an icon in the sizes panels draw, as the item hands them over.
    static DBusImageList ImagesOf(const QIcon& icon);

public slots:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewAttentionIcon();
    Q_SCRIPTABLE void NewOverlayIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);

    // Queued to the program: a left click, a middle click, and the menu asked for by a panel
    // that leaves it to the item.
    void activated();
    void secondaryActivated();
    void contextMenuRequested();
    void registered();

private:
    QIcon m_icon;
    DBusImageList m_pixmaps;
    QString m_strTitle;
    QString m_strToolTip;
    QString m_strStatus = QStringLiteral("Active");
    QString m_strService;
    CDBusMenuExporter* m_pMenuExporter = nullptr;
    bool m_bExported = false;
};
