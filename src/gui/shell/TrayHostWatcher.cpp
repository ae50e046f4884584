#include "gui/shell/TrayHostWatcher.h"

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVariant>
#include <QtGui/QGuiApplication>

#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

TrayHostWatcher::TrayHostWatcher(QObject *parent) : QObject(parent)
{
    m_poll.setInterval(kPollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, &TrayHostWatcher::check);
}

TrayHostWatcher::~TrayHostWatcher() = default;

bool TrayHostWatcher::isHostPresent()
{
    return isXEmbedTrayPresent() || isStatusNotifierHostPresent();
}

bool TrayHostWatcher::isStatusNotifierHostPresent()
{
    // The watcher often starts ahead of the panel that shows the items (kded before
    // plasmashell): it is a host only once a host has registered with it.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(get, QDBus::Block, kCallTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

bool TrayHostWatcher::isXEmbedTrayPresent()
{
    const auto *x11 =
        qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        return false;
    }
    // The manager of screen 0 owns "_NET_SYSTEM_TRAY_S0"; Qt docks on the default screen.
    static constexpr char kSelection[] = "_NET_SYSTEM_TRAY_S0";
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, sizeof kSelection - 1, kSelection), nullptr),
        &std::free);
    if (!atom) {
        return false;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}

void TrayHostWatcher::waitForHost()
{
    m_poll.start();
    check();
}

void TrayHostWatcher::check()
{
    if (!m_poll.isActive() || !isHostPresent()) {
        return;
    }
    m_poll.stop();
    Q_EMIT appeared();
}
