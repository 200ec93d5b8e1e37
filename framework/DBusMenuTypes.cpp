#include "framework/DBusMenuTypes.h"

#include <QDBusMetaType>

namespace {
// Nesting deeper than any menu of ours is cut off rather than followed.
constexpr int MAX_LAYOUT_DEPTH = 16;

void ReadLayout(const QDBusArgument& argument, DBusMenuLayoutItem& item, int depth)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        if (depth < MAX_LAYOUT_DEPTH && child.variant().userType() == qMetaTypeId<QDBusArgument>()) {
            DBusMenuLayoutItem childItem;
            ReadLayout(child.variant().value<QDBusArgument>(), childItem, depth + 1);
            item.children.push_back(std::move(childItem));
        }
    }
    argument.endArray();
    argument.endStructure();
}
} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const DBusMenuLayoutItem& child : item.children) {
        argument << QDBusVariant(QVariant::fromValue(child));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item)
{
    item = {};
    ReadLayout(argument, item, 0);
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys)
{
    argument.beginStructure();
    argument << keys.id << keys.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys)
{
    argument.beginStructure();
    argument >> keys.id >> keys.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

void RegisterDBusMenuTypes()
{
    // Signals and slots name the lists by these names.
    qRegisterMetaType<DBusMenuItemList>("DBusMenuItemList");
    qRegisterMetaType<DBusMenuItemKeysList>("DBusMenuItemKeysList");
    qRegisterMetaType<DBusMenuEventList>("DBusMenuEventList");
    qDBusRegisterMetaType<DBusMenuLayoutItem>();
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuItemKeys>();
    qDBusRegisterMetaType<DBusMenuItemKeysList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
}

QString ToDBusMenuLabel(const QString& text)
{
    QString label;
    label.reserve(text.size());
    bool marked = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'_') {
            label += QStringLiteral("__");
        } else if (c == u'&' && i + 1 < text.size()) {
            if (text[i + 1] == u'&') {
                label += u'&';
                ++i;
            } else if (!marked) {
                // Only the first mnemonic counts, as in Qt's own menus.
                label += u'_';
                marked = true;
            }
        } else {
            label += c;
        }
    }
    return label;
}
