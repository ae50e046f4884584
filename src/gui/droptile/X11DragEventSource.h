#pragma once

#include "gui/droptile/DragEventSource.h"

#include <QtCore/QAbstractNativeEventFilter>

// Drags of other X11 clients: every new drag claims the XdndSelection (XFixes reports each
// claim, even by the same owner), its types come from converting that selection, and the
// pointer and keyboard from XInput2 raw events, which arrive while the drag source holds its
// grabs. Positions are not needed: the tile itself receives the drag when it is over it.
class X11DragEventSource : public DragEventSource, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    X11DragEventSource();
    ~X11DragEventSource() override;

    bool isAvailable() const override { return m_window != 0; }
    uint64_t changeCount() const override { return m_changeCount; }
    std::optional<QStringList> types() override;
    bool isLeftButtonPressed() override;
    void startWatching() override;
    void stopWatching() override;
    void endPendingDrag() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    // A Wayland session shows this client only the drags of other X11 clients: off there.
    static bool isWaylandSession();
    void requestConversion(uint32_t target);
    void conversionDone(uint32_t target, uint32_t property);
    void setPending(bool pending);
    void rawEvent(uint16_t type, uint32_t detail);

    uint32_t m_window = 0; // receives the selection notices and conversions
    uint8_t m_xfixesFirstEvent = 0;
    uint32_t m_xdndSelection = 0;
    uint32_t m_uriListAtom = 0;
    uint32_t m_targetsAtom = 0;
    uint32_t m_propertyAtom = 0;
    uint64_t m_changeCount = 0;
    bool m_watching = false;
    bool m_pending = false;
    // The types of the drag m_typesFor counted, once its conversions answered.
    uint64_t m_typesFor = 0;
    std::optional<QStringList> m_types;
    // The uri-list came incrementally, too long to read here.
    bool m_uriListTooLong = false;
    // Followed through raw presses and releases while a drag is pending.
    bool m_leftDown = false;
};
