#pragma once

#include <QObject>

class QDBusPendingCallWatcher;

// Tells when a panel that draws StatusNotifierItems comes to the session bus: a watcher that
// says a host is registered, or that announces one. Follows the watcher's name and its hosts, so
// a panel that quits while its watcher stays (plasmashell beside kded) is no longer counted, and
// one that restarts is seen again. Nothing is polled.
class CStatusNotifierHostWatch : public QObject
{
    Q_OBJECT

public:
    explicit CStatusNotifierHostWatch(QObject* parent = nullptr);

    bool IsHostPresent() const { return m_bHostPresent; }

signals:
    // Once per watcher with a host: again only after the watcher went away and came back.
    void hostAppeared();

private slots:
    void OnHostRegistered();
    void OnHostUnregistered();

private:
    void OnOwnerChanged(const QString& newOwner);
    void AskForHost();
    void SetHostPresent(bool present);

    QDBusPendingCallWatcher* m_pQuestion = nullptr;
    bool m_bHostPresent = false;
};
