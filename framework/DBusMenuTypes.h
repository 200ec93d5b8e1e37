#pragma once

#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// What a panel and the program exchange about a menu over com.canonical.dbusmenu.

// One item with its properties and, nested as variants, its children: (ia{sv}av).
struct DBusMenuLayoutItem
{
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// One item's properties: (ia{sv}).
struct DBusMenuItem
{
    int id = 0;
    QVariantMap properties;
};

// The names of one item's properties that no longer hold: (ias).
struct DBusMenuItemKeys
{
    int id = 0;
    QStringList properties;
};

// One event of a batch: (isvu).
struct DBusMenuEvent
{
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

using DBusMenuItemList = QList<DBusMenuItem>;
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;
using DBusMenuEventList = QList<DBusMenuEvent>;

Q_DECLARE_METATYPE(DBusMenuLayoutItem)
Q_DECLARE_METATYPE(DBusMenuItem)
Q_DECLARE_METATYPE(DBusMenuItemKeys)
Q_DECLARE_METATYPE(DBusMenuEvent)

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

// Makes the types above known to QtDBus; safe to call more than once.
void RegisterDBusMenuTypes();

// A label with Qt's mnemonics ("&File", "Tom && Jerry") as a panel reads it: the mnemonic is
// marked with '_' there, so a literal underscore is doubled and "&&" is a plain '&'.
QString ToDBusMenuLabel(const QString& text);
