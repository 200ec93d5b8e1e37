#include "framework/DesktopNotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

void ShowDesktopNotice(const QString& body, NoticeDelivery delivery)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    notify << QStringLiteral("Quorvane") << 0u << QStringLiteral("quorvane") << QStringLiteral("Quorvane")
           << body.toHtmlEscaped() << QStringList {} << QVariantMap {} << -1;
    if (delivery == NoticeDelivery::Wait) {
        // Not worth waiting for long: the same words went to standard error.
        bus.call(notify, QDBus::Block, 3000);
    } else {
        bus.send(notify);
    }
}
