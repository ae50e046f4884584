#include "gui/droptile/X11DragEventSource.h"

#include "gui/shell/X11RawInputMonitor.h"

#include <QtCore/QCoreApplication>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace {

constexpr uint32_t kEscapeKeycode = 9;
constexpr uint32_t kLeftButton = 1;

xcb_window_t rootWindow(xcb_connection_t *connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

template <class Reply> using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

// A uri-list that names at least one local file (comment lines aside).
bool namesFiles(const QByteArray &uriList)
{
    for (const QByteArray &line : uriList.split('\n')) {
        if (line.trimmed().toLower().startsWith("file:")) {
            return true;
        }
    }
    return false;
}

} // namespace

bool X11DragEventSource::isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

X11DragEventSource::X11DragEventSource()
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (isWaylandSession() || !connection || !X11RawInputMonitor::shared().isAvailable()) {
        return;
    }
    const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) {
        return;
    }
    // The version must be announced before the extension's requests are used.
    const XcbReply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 5, 0),
                                       nullptr),
        &std::free);
    if (!version) {
        return;
    }
    m_xfixesFirstEvent = xfixes->first_event;
    m_xdndSelection = atom(connection, "XdndSelection");
    m_uriListAtom = atom(connection, kFileUrlType);
    m_targetsAtom = atom(connection, "TARGETS");
    m_propertyAtom = atom(connection, "VORLANTA_DRAG_TYPES");
    m_window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, m_window, rootWindow(connection), -1, -1, 1,
                      1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_flush(connection);
    QCoreApplication::instance()->installNativeEventFilter(this);
    connect(&X11RawInputMonitor::shared(), &X11RawInputMonitor::rawEvent, this,
            &X11DragEventSource::rawEvent);
}

X11DragEventSource::~X11DragEventSource()
{
    if (!m_window) {
        return;
    }
    setPending(false);
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    if (xcb_connection_t *connection = X11RawInputMonitor::connection()) {
        xcb_destroy_window(connection, m_window);
        xcb_flush(connection);
    }
}

void X11DragEventSource::startWatching()
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (!m_window || m_watching || !connection) {
        return;
    }
    m_watching = true;
    xcb_xfixes_select_selection_input(connection, m_window, m_xdndSelection,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
    xcb_flush(connection);
}

void X11DragEventSource::stopWatching()
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (!m_watching || !connection) {
        return;
    }
    m_watching = false;
    setPending(false);
    xcb_xfixes_select_selection_input(connection, m_window, m_xdndSelection, 0);
    xcb_flush(connection);
}

void X11DragEventSource::endPendingDrag()
{
    setPending(false);
}

void X11DragEventSource::setPending(bool pending)
{
    if (pending == m_pending) {
        return;
    }
    m_pending = pending;
    X11RawInputMonitor &raw = X11RawInputMonitor::shared();
    for (const uint16_t type :
         {X11RawInputMonitor::kRawMotion, X11RawInputMonitor::kRawButtonPress,
          X11RawInputMonitor::kRawButtonRelease, X11RawInputMonitor::kRawKeyPress}) {
        pending ? raw.subscribe(type) : raw.unsubscribe(type);
    }
    m_leftDown = pending && isLeftButtonPressed();
}

std::optional<QStringList> X11DragEventSource::types()
{
    return m_typesFor == m_changeCount ? m_types : std::nullopt;
}

bool X11DragEventSource::isLeftButtonPressed()
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (!m_window || !connection) {
        return false;
    }
    const XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, rootWindow(connection)),
                                nullptr),
        &std::free);
    return pointer && (pointer->mask & XCB_BUTTON_MASK_1);
}

void X11DragEventSource::rawEvent(uint16_t type, uint32_t detail)
{
    if (!m_pending) {
        return;
    }
    switch (type) {
    case X11RawInputMonitor::kRawMotion:
        if (m_leftDown) {
            Q_EMIT dragged();
        }
        break;
    case X11RawInputMonitor::kRawButtonPress:
        m_leftDown = m_leftDown || detail == kLeftButton;
        break;
    case X11RawInputMonitor::kRawButtonRelease:
        if (detail == kLeftButton) {
            m_leftDown = false;
            Q_EMIT leftMouseUp();
        }
        break;
    case X11RawInputMonitor::kRawKeyPress:
        if (detail == kEscapeKeycode) {
            Q_EMIT escapePressed();
        }
        break;
    default:
        break;
    }
}

void X11DragEventSource::requestConversion(uint32_t target)
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    xcb_convert_selection(connection, m_window, m_xdndSelection, target, m_propertyAtom,
                          XCB_CURRENT_TIME);
    xcb_flush(connection);
}

void X11DragEventSource::conversionDone(uint32_t target, uint32_t property)
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    QByteArray value;
    xcb_atom_t valueType = XCB_ATOM_NONE;
    if (property != XCB_ATOM_NONE) {
        const XcbReply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(connection,
                                   xcb_get_property(connection, 1, m_window, property,
                                                    XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20),
                                   nullptr),
            &std::free);
        if (reply) {
            valueType = reply->type;
            // The length is in bytes already, whatever the format.
            value = QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                               xcb_get_property_value_length(reply.get()));
        }
    }
    // The uri-list first: it says for sure whether files are dragged. A very long list comes
    // incrementally; its offer in TARGETS is taken as the answer then.
    if (target == m_uriListAtom) {
        m_uriListTooLong = valueType == atom(connection, "INCR");
        if (valueType != XCB_ATOM_NONE && namesFiles(value)) {
            m_types = QStringList{QLatin1String(kFileUrlType)};
            m_typesFor = m_changeCount;
            return;
        }
        requestConversion(m_targetsAtom);
        return;
    }
    QStringList types;
    const auto *atoms = reinterpret_cast<const xcb_atom_t *>(value.constData());
    for (qsizetype i = 0; valueType == XCB_ATOM_ATOM && i < value.size() / 4; ++i) {
        const XcbReply<xcb_get_atom_name_reply_t> name(
            xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atoms[i]), nullptr),
            &std::free);
        if (name) {
            types << QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                         xcb_get_atom_name_name_length(name.get()));
        }
    }
    if (!m_uriListTooLong) {
        types.removeAll(QLatin1String(kFileUrlType)); // offered, but no file in it
    }
    // A source that answers neither still ends the check: not a drag of files.
    m_types = types.isEmpty() ? QStringList{QStringLiteral("application/octet-stream")} : types;
    m_typesFor = m_changeCount;
}

bool X11DragEventSource::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_window || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const uint8_t type = event->response_type & 0x7f;
    // A new drag claims the selection: count it and ask for its types.
    if (type == m_xfixesFirstEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto *notify = static_cast<const xcb_xfixes_selection_notify_event_t *>(message);
        if (notify->window != m_window || notify->selection != m_xdndSelection) {
            return false;
        }
        if (notify->owner != XCB_NONE) {
            ++m_changeCount;
            m_types.reset();
            setPending(true);
            requestConversion(m_uriListAtom);
        }
        return true;
    }
    if (type == XCB_SELECTION_NOTIFY) {
        const auto *notify = static_cast<const xcb_selection_notify_event_t *>(message);
        if (notify->requestor != m_window) {
            return false;
        }
        conversionDone(notify->target, notify->property);
        return true;
    }
    return false;
}
