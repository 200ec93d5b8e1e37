#include "framework/TrayHostWatch.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {
std::uint32_t InternAtom(xcb_connection_t* connection, const QByteArray& name)
{
    const xcb_intern_atom_cookie_t cookie
        = xcb_intern_atom(connection, false, static_cast<std::uint16_t>(name.size()), name.constData());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : 0;
}
} // namespace

CTrayHostWatch::CTrayHostWatch(QObject* parent)
    : QObject(parent)
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        return;
    }
    // The tray of the first screen, the one Qt embeds its icon in.
    m_nManagerAtom = InternAtom(x11->connection(), "MANAGER");
    m_nTraySelectionAtom = InternAtom(x11->connection(), "_NET_SYSTEM_TRAY_S0");
    if (m_nManagerAtom && m_nTraySelectionAtom) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

CTrayHostWatch::~CTrayHostWatch()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

bool CTrayHostWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE) {
        return false;
    }
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    // The new owner of the tray selection says so with the selection's atom in its second word.
    if (client->type == m_nManagerAtom && client->format == 32
        && client->data.data32[1] == m_nTraySelectionAtom) {
        // After Qt has seen the tray too, so that its icon is embedded first.
        QMetaObject::invokeMethod(this, &CTrayHostWatch::hostAppeared, Qt::QueuedConnection);
    }
    return false;
}
