#include "framework/DBusMenuExporter.h"

#include <QActionEvent>
#include <QGuiApplication>
#include <QMenu>

namespace {
// A panel asks about a few items at a time; a longer list from the bus is cut short.
constexpr qsizetype MAX_IDS = 4096;
constexpr qsizetype MAX_PROPERTY_NAMES = 64;
constexpr qsizetype MAX_NAME = 256;

QSet<QString> NameSet(const QStringList& names)
{
    QSet<QString> set;
    for (qsizetype i = 0; i < names.size() && i < MAX_PROPERTY_NAMES; ++i) {
        set.insert(names[i].left(MAX_NAME));
    }
    return set;
}
} // namespace

CDBusMenuExporter::CDBusMenuExporter(QMenu* menu, QObject* parent)
    : QObject(parent)
    , m_pMenu(menu)
{
    RegisterDBusMenuTypes();
    Watch(menu);
}

QString CDBusMenuExporter::TextDirection() const
{
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

void CDBusMenuExporter::Watch(QMenu* menu)
{
    if (!menu) {
        return;
    }
    menu->installEventFilter(this);
    for (QAction* action : menu->actions()) {
        IdOf(action);
        Watch(action->menu());
    }
}

int CDBusMenuExporter::IdOf(QAction* action)
{
    const auto found = m_ids.constFind(action);
    if (found != m_ids.constEnd()) {
        return *found;
    }
    const int id = m_nNextId++;
    m_ids.insert(action, id);
    m_actions.insert(id, action);
    // Keyed by the object alone: by then it is no longer an action.
    connect(action, &QObject::destroyed, this, [this, id](QObject* gone) {
        m_ids.remove(gone);
        m_actions.remove(id);
    });
    return id;
}

QAction* CDBusMenuExporter::ActionOf(int id) const
{
    return id == 0 ? nullptr : m_actions.value(id).data();
}

QMenu* CDBusMenuExporter::MenuOf(int id) const
{
    if (id == 0) {
        return m_pMenu.data();
    }
    QAction* action = ActionOf(id);
    return action ? action->menu() : nullptr;
}

QVariantMap CDBusMenuExporter::PropertiesOf(const QAction* action)
{
    QVariantMap properties;
    if (action->isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        properties.insert(QStringLiteral("label"), ToDBusMenuLabel(action->text()));
    }
    if (action->menu()) {
        properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    }
    // Said each time, so that an item enabled again is never left greyed by a panel that kept
    // the old value.
    properties.insert(QStringLiteral("enabled"), action->isEnabled());
    properties.insert(QStringLiteral("visible"), action->isVisible());
    return properties;
}

QVariantMap CDBusMenuExporter::Filter(const QVariantMap& properties, const QSet<QString>& names)
{
    if (names.isEmpty()) {
        return properties;
    }
    QVariantMap kept;
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it) {
        if (names.contains(it.key())) {
            kept.insert(it.key(), it.value());
        }
    }
    return kept;
}

DBusMenuLayoutItem CDBusMenuExporter::Layout(int id, QMenu* menu, int depth, const QSet<QString>& names)
{
    DBusMenuLayoutItem item;
    item.id = id;
    if (QAction* action = ActionOf(id)) {
        item.properties = Filter(PropertiesOf(action), names);
    } else {
        item.properties = Filter({{QStringLiteral("children-display"), QStringLiteral("submenu")}}, names);
    }
    if (!menu || depth == 0) {
        return item;
    }
    // Any depth below zero means the whole tree; ours is three levels deep.
    for (QAction* child : menu->actions()) {
        item.children.push_back(Layout(IdOf(child), child->menu(), depth - 1, names));
    }
    return item;
}

void CDBusMenuExporter::Refuse()
{
    if (calledFromDBus()) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no such menu item"));
    }
}

uint CDBusMenuExporter::GetLayout(
    int parentId, int recursionDepth, const QStringList& propertyNames, DBusMenuLayoutItem& layout)
{
    if (!IsKnown(parentId)) {
        Refuse();
        return 0;
    }
    layout = Layout(parentId, MenuOf(parentId), recursionDepth, NameSet(propertyNames));
    return m_nRevision;
}

DBusMenuItemList CDBusMenuExporter::GetGroupProperties(
    const QList<int>& ids, const QStringList& propertyNames)
{
    const QSet<QString> names = NameSet(propertyNames);
    // No ids asks for every item.
    const QList<int> asked = ids.isEmpty() ? m_actions.keys() : ids;
    DBusMenuItemList items;
    for (qsizetype i = 0; i < asked.size() && i < MAX_IDS; ++i) {
        if (QAction* action = ActionOf(asked[i])) {
            items.push_back({asked[i], Filter(PropertiesOf(action), names)});
        }
    }
    return items;
}

QDBusVariant CDBusMenuExporter::GetProperty(int id, const QString& name)
{
    QAction* action = ActionOf(id);
    const QVariantMap properties = action ? PropertiesOf(action) : QVariantMap();
    const auto found = properties.constFind(name);
    if (found == properties.constEnd()) {
        Refuse();
        return QDBusVariant(QVariant(0));
    }
    return QDBusVariant(*found);
}

bool CDBusMenuExporter::Click(int id, const QString& eventId)
{
    QAction* action = ActionOf(id);
    if (!action) {
        return false;
    }
    if (eventId == QLatin1String("clicked") && !action->isSeparator() && !action->menu()
        && action->isEnabled()) {
        // After the panel's call has returned: what the item opens never holds the panel.
        QMetaObject::invokeMethod(
            this,
            [item = QPointer<QAction>(action)] {
                if (item && item->isEnabled()) {
                    item->trigger();
                }
            },
            Qt::QueuedConnection);
    }
    return true;
}

void CDBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint)
{
    if (!Click(id, eventId)) {
        Refuse();
    }
}

QList<int> CDBusMenuExporter::EventGroup(const DBusMenuEventList& events)
{
    QList<int> idErrors;
    for (qsizetype i = 0; i < events.size() && i < MAX_IDS; ++i) {
        if (!Click(events[i].id, events[i].eventId)) {
            idErrors.push_back(events[i].id);
        }
    }
    return idErrors;
}

bool CDBusMenuExporter::AboutToShow(int id)
{
    if (!IsKnown(id)) {
        Refuse();
    }
    // The panel already holds the menu as it is: it is kept current as it changes.
    return false;
}

QList<int> CDBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    for (qsizetype i = 0; i < ids.size() && i < MAX_IDS; ++i) {
        if (!IsKnown(ids[i])) {
            idErrors.push_back(ids[i]);
        }
    }
    return {};
}

bool CDBusMenuExporter::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::ActionAdded || type == QEvent::ActionRemoved || type == QEvent::ActionChanged) {
        auto* menu = qobject_cast<QMenu*>(watched);
        QAction* action = static_cast<QActionEvent*>(event)->action();
        if (menu && action) {
            if (type == QEvent::ActionChanged) {
                m_changedItems.insert(IdOf(action));
            } else {
                if (type == QEvent::ActionAdded) {
                    IdOf(action);
                    Watch(action->menu());
                }
                m_changedMenus.insert(menu == m_pMenu ? 0 : IdOf(menu->menuAction()));
            }
            ScheduleUpdate();
        }
    }
    return QObject::eventFilter(watched, event);
}

void CDBusMenuExporter::ScheduleUpdate()
{
    if (m_bUpdatePending) {
        return;
    }
    m_bUpdatePending = true;
    QMetaObject::invokeMethod(this, &CDBusMenuExporter::SendUpdate, Qt::QueuedConnection);
}

void CDBusMenuExporter::SendUpdate()
{
    m_bUpdatePending = false;
    DBusMenuItemList changed;
    for (const int id : std::as_const(m_changedItems)) {
        if (QAction* action = ActionOf(id)) {
            changed.push_back({id, PropertiesOf(action)});
        }
    }
    m_changedItems.clear();
    if (!changed.isEmpty()) {
        emit ItemsPropertiesUpdated(changed, {});
    }
    if (!m_changedMenus.isEmpty()) {
        ++m_nRevision;
        // One submenu that changed is fetched alone; several, or a menu gone since, from the top.
        const int parent = m_changedMenus.size() == 1 ? *m_changedMenus.constBegin() : 0;
        m_changedMenus.clear();
        emit LayoutUpdated(m_nRevision, IsKnown(parent) ? parent : 0);
    }
}
