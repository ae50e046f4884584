#pragma once

#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <cstdint>
#include <optional>

// What the drag-session monitor needs to know of drags in other applications: a counter that
// grows with every new drag, the types the current drag offers, the left button's state, and
// global drag, left-button-up and Escape notifications. One implementation per windowing system.
class DragEventSource : public QObject {
    Q_OBJECT
public:
    // The type a drag of file locations offers.
    static constexpr char kFileUrlType[] = "text/uri-list";

    using QObject::QObject;

    // False where drags of other applications cannot be observed.
    virtual bool isAvailable() const = 0;
    virtual uint64_t changeCount() const = 0;
    // The current drag's types; empty or nullopt while they are not known yet.
    virtual std::optional<QStringList> types() = 0;
    virtual bool isLeftButtonPressed() = 0;
    // Notifications are delivered only between these calls; global drag notifications, in
    // addition, only while a new drag is pending (from a change of the counter until
    // endPendingDrag), so that ordinary pointer movement costs nothing.
    virtual void startWatching() = 0;
    virtual void stopWatching() = 0;
    virtual void endPendingDrag() = 0;

Q_SIGNALS:
    void dragged();
    void leftMouseUp();
    void escapePressed();
};
