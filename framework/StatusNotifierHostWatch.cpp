#include "framework/StatusNotifierHostWatch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {
const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WATCHER_PATH = QStringLiteral("/StatusNotifierWatcher");
} // namespace

CStatusNotifierHostWatch::CStatusNotifierHostWatch(QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    auto* names = new QDBusServiceWatcher(WATCHER, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(names, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString&, const QString&, const QString& newOwner) { OnOwnerChanged(newOwner); });
    // Qt follows the name's owner for this signal, across restarts.
    bus.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierHostRegistered"), this,
        SLOT(OnHostRegistered()));
    bus.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierHostUnregistered"), this,
        SLOT(OnHostUnregistered()));
    // A watcher may be there already, still waiting for its host.
    AskForHost();
}

void CStatusNotifierHostWatch::OnOwnerChanged(const QString& newOwner)
{
    // An answer still on its way came from the watcher that has gone.
    delete m_pQuestion;
    m_pQuestion = nullptr;
    // A new owner is a new watcher, which has not seen our item.
    SetHostPresent(false);
    if (!newOwner.isEmpty()) {
        AskForHost();
    }
}

void CStatusNotifierHostWatch::AskForHost()
{
    delete m_pQuestion;
    QDBusMessage call = QDBusMessage::createMethodCall(
        WATCHER, WATCHER_PATH, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << WATCHER << QStringLiteral("IsStatusNotifierHostRegistered");
    m_pQuestion = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(m_pQuestion, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        m_pQuestion = nullptr;
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        SetHostPresent(!reply.isError() && reply.value().variant().toBool());
    });
}

void CStatusNotifierHostWatch::OnHostRegistered()
{
    SetHostPresent(true);
}

void CStatusNotifierHostWatch::OnHostUnregistered()
{
    // The watcher may hold other hosts still.
    AskForHost();
}

void CStatusNotifierHostWatch::SetHostPresent(bool present)
{
    const bool appeared = present && !m_bHostPresent;
    m_bHostPresent = present;
    if (appeared) {
        emit hostAppeared();
    }
}
