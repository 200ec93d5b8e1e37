#include "framework/StatusNotifierHost.h"

#include <QDBusConnection>
#include <QDBusInterface>

bool IsStatusNotifierHostRegistered()
{
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    // The same interface object Qt uses: its property is read through the watcher's introspected
    // description, so a watcher Qt does not believe is not believed here either.
    QDBusInterface host(
        watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, QDBusConnection::sessionBus());
    return host.isValid() && host.property("IsStatusNotifierHostRegistered").toBool();
}
