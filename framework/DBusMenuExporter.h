#pragma once

#include "framework/DBusMenuTypes.h"

#include <QDBusContext>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

class QAction;
class QMenu;

// Hands a QMenu to a panel as com.canonical.dbusmenu, the way a StatusNotifierItem's menu
// travels: the panel draws it from the layout and sends back the item chosen. The menu stays
// the program's own; every change to it reaches the panel once per pass of the event loop. Ids
// and strings from the bus are checked against the menu, and a click runs after the panel's call
// has returned.
class CDBusMenuExporter : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ Version)
    Q_PROPERTY(QString TextDirection READ TextDirection)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QStringList IconThemePath READ IconThemePath)

public:
    // The menu stays owned by the caller and may go before this object.
    explicit CDBusMenuExporter(QMenu* menu, QObject* parent = nullptr);

    uint Version() const { return 3; }
    QString TextDirection() const;
    QString Status() const { return QStringLiteral("normal"); }
    QStringList IconThemePath() const { return {}; }

    // The item for an id, or none for the root and for ids not handed out.
    QAction* ActionOf(int id) const;
    // The properties a panel is told of an item.
    static QVariantMap PropertiesOf(const QAction* action);

public slots:
    Q_SCRIPTABLE uint GetLayout(
        int parentId, int recursionDepth, const QStringList& propertyNames, DBusMenuLayoutItem& layout);
    Q_SCRIPTABLE DBusMenuItemList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const DBusMenuEventList& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    Q_SCRIPTABLE void ItemsPropertiesUpdated(
        const DBusMenuItemList& updatedProps, const DBusMenuItemKeysList& removedProps);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int IdOf(QAction* action);
    // The menu whose items an id holds: the root's for 0, a submenu's for its item.
    QMenu* MenuOf(int id) const;
    bool IsKnown(int id) const { return id == 0 || ActionOf(id); }
    void Watch(QMenu* menu);
    DBusMenuLayoutItem Layout(int id, QMenu* menu, int depth, const QSet<QString>& names);
    static QVariantMap Filter(const QVariantMap& properties, const QSet<QString>& names);
    // The call names an item or property that does not exist.
    void Refuse();
    bool Click(int id, const QString& eventId);
    void ScheduleUpdate();
    void SendUpdate();

    QPointer<QMenu> m_pMenu;
    QHash<const QObject*, int> m_ids;
    QHash<int, QPointer<QAction>> m_actions;
    int m_nNextId = 1;
    uint m_nRevision = 1;
    QSet<int> m_changedItems;
    QSet<int> m_changedMenus;
    bool m_bUpdatePending = false;
};
