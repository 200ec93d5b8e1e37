#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

// Tells when an XEmbed tray appears after the program started, as at login, where the session
// may start the program before the panel: its owner announces it to the root window with a
// MANAGER message, which Qt reacts to without passing it on. Nothing is polled.
//
// A StatusNotifierItem panel that comes later is seen by CStatusNotifierHostWatch.
class CTrayHostWatch : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    explicit CTrayHostWatch(QObject* parent = nullptr);
    ~CTrayHostWatch() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void hostAppeared();

private:
    // X11 only: the atoms of the tray selection's announcement; zero elsewhere.
    std::uint32_t m_nManagerAtom = 0;
    std::uint32_t m_nTraySelectionAtom = 0;
};
