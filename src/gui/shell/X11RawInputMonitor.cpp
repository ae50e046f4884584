#include "gui/shell/X11RawInputMonitor.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

static_assert(X11RawInputMonitor::kRawKeyPress == XCB_INPUT_RAW_KEY_PRESS &&
              X11RawInputMonitor::kRawButtonPress == XCB_INPUT_RAW_BUTTON_PRESS &&
              X11RawInputMonitor::kRawButtonRelease == XCB_INPUT_RAW_BUTTON_RELEASE &&
              X11RawInputMonitor::kRawMotion == XCB_INPUT_RAW_MOTION);

xcb_connection_t *X11RawInputMonitor::connection()
{
    const auto *x11 =
        qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

X11RawInputMonitor &X11RawInputMonitor::shared()
{
    static X11RawInputMonitor *monitor = new X11RawInputMonitor;
    return *monitor;
}

X11RawInputMonitor::X11RawInputMonitor()
{
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (!connection) {
        return;
    }
    const xcb_query_extension_reply_t *extension =
        xcb_get_extension_data(connection, &xcb_input_id);
    if (!extension || !extension->present) {
        return;
    }
    m_extensionOpcode = extension->major_opcode;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11RawInputMonitor::~X11RawInputMonitor()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

void X11RawInputMonitor::subscribe(uint16_t eventType)
{
    if (eventType < m_subscribers.size() && m_subscribers[eventType]++ == 0) {
        selectEvents();
    }
}

void X11RawInputMonitor::unsubscribe(uint16_t eventType)
{
    if (eventType < m_subscribers.size() && m_subscribers[eventType] > 0 &&
        --m_subscribers[eventType] == 0) {
        selectEvents();
    }
}

void X11RawInputMonitor::selectEvents()
{
    uint32_t mask = 0;
    for (size_t type = 0; type < m_subscribers.size(); ++type) {
        if (m_subscribers[type] > 0) {
            mask |= 1u << type;
        }
    }
    xcb_connection_t *connection = X11RawInputMonitor::connection();
    if (!isAvailable() || !connection || mask == m_selectedMask) {
        return;
    }
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, mask};
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_input_xi_select_events(connection, root, 1, &selection.head);
    xcb_flush(connection);
    m_selectedMask = mask;
}

bool X11RawInputMonitor::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC) {
        return false;
    }
    const auto *generic = static_cast<const xcb_ge_generic_event_t *>(message);
    if (generic->extension != m_extensionOpcode || generic->event_type >= 32 ||
        !(m_selectedMask & (1u << generic->event_type))) {
        return false;
    }
    // Every raw event starts with the same fields; Qt itself never selects them.
    const auto *raw = static_cast<const xcb_input_raw_button_press_event_t *>(message);
    Q_EMIT rawEvent(generic->event_type, raw->detail);
    return true;
}
