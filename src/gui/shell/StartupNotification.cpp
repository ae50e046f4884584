#include "gui/shell/StartupNotification.h"

#include "gui/shell/ServiceProvider.h"

#include <QtCore/QRegularExpression>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QWidget>

#include <cstring>
#include <xcb/xcb.h>

namespace {

xcb_connection_t *x11Connection()
{
    const auto *x11 =
        qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

xcb_window_t rootOf(xcb_connection_t *connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

// The launcher's user time, carried in the id as "_TIME<n>"; 0 when it has none.
uint32_t timeOf(const QString &startupId)
{
    static const QRegularExpression time(QStringLiteral("_TIME(\\d+)$"));
    return time.match(startupId).captured(1).toUInt();
}

// "remove: ID=…" in 20-byte client messages, which ends the launcher's busy feedback.
void sendRemoveMessage(xcb_connection_t *connection, xcb_window_t window, const QString &id)
{
    QByteArray escaped = id.toUtf8();
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace(' ', "\\ ");
    QByteArray message = "remove: ID=" + escaped;
    message.append('\0');
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    for (qsizetype at = 0; at < message.size(); at += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = window;
        event.type = at == 0 ? begin : more;
        std::memcpy(event.data.data8, message.constData() + at,
                    size_t(std::min<qsizetype>(20, message.size() - at)));
        xcb_send_event(connection, 0, rootOf(connection), XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char *>(&event));
    }
}

} // namespace

void StartupNotification::prepare(QWidget *window, const StartupActivation &activation)
{
    if (!activation.activationToken.isEmpty()) {
        // Qt's Wayland activation takes the token from here once, then unsets it.
        qputenv("XDG_ACTIVATION_TOKEN", activation.activationToken.toUtf8());
    }
    xcb_connection_t *connection = x11Connection();
    if (!connection || activation.startupId.isEmpty()) {
        return;
    }
    const QByteArray id = activation.startupId.toUtf8();
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()),
                        atom(connection, "_NET_STARTUP_ID"), atom(connection, "UTF8_STRING"), 8,
                        uint32_t(id.size()), id.constData());
}

void StartupNotification::complete(QWidget *window, const StartupActivation &activation)
{
    xcb_connection_t *connection = x11Connection();
    if (!connection || activation.startupId.isEmpty()) {
        return;
    }
    const xcb_window_t target = xcb_window_t(window->winId());
    // Qt activates with this process's last user time, which a window manager preventing focus
    // stealing refuses; the launcher's time is the user's click in the file manager.
    if (const uint32_t time = timeOf(activation.startupId)) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = target;
        event.type = atom(connection, "_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 1; // from an application
        event.data.data32[1] = time;
        xcb_send_event(connection, 0, rootOf(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char *>(&event));
    }
    sendRemoveMessage(connection, target, activation.startupId);
    xcb_flush(connection);
}
