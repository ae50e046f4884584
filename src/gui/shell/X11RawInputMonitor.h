#pragma once

#include <QtCore/QAbstractNativeEventFilter>
#include <QtCore/QObject>

#include <array>
#include <cstdint>

struct xcb_connection_t;

// XInput2 raw events of every master device, selected on the root window through Qt's own X
// connection. They report input anywhere on the screen, also over other applications' windows
// and while another client holds a grab. The server keeps one selection per client and window,
// so every part of the application that needs raw events shares this one: the selected mask is
// the union of what the subscribers currently want.
class X11RawInputMonitor : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // The XInput2 raw event types.
    static constexpr uint16_t kRawKeyPress = 13;
    static constexpr uint16_t kRawButtonPress = 15;
    static constexpr uint16_t kRawButtonRelease = 16;
    static constexpr uint16_t kRawMotion = 17;

    static X11RawInputMonitor &shared();

    // Qt's own X connection; none under Wayland or offscreen.
    static xcb_connection_t *connection();

    // False without an X11 connection or without the XInput extension (Wayland, offscreen).
    bool isAvailable() const { return m_extensionOpcode != 0; }

    // Counted per event type, so every subscribe needs its unsubscribe.
    void subscribe(uint16_t eventType);
    void unsubscribe(uint16_t eventType);

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    // detail: the button number or keycode of the raw event.
    void rawEvent(uint16_t eventType, uint32_t detail);

private:
    X11RawInputMonitor();
    ~X11RawInputMonitor() override;
    void selectEvents();

    uint8_t m_extensionOpcode = 0;
    std::array<int, 32> m_subscribers{};
    uint32_t m_selectedMask = 0;
};
