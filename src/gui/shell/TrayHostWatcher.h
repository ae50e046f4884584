#pragma once

#include <QtCore/QObject>
#include <QtCore/QTimer>

// Tells when the desktop has a tray host: an XEmbed tray manager on the X server, or a
// StatusNotifierWatcher on the session bus with a host registered. Qt decides once per process
// which of the two its tray icons use, at the first icon; an icon made before any host exists (an
// application started at login ahead of the panel) would stay on XEmbed and never show on a
// StatusNotifierItem host.
class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollIntervalMs = 1000;
    static constexpr int kCallTimeoutMs = 200;

    explicit TrayHostWatcher(QObject *parent = nullptr);
    ~TrayHostWatcher() override;

    static bool isHostPresent();

    // Emits appeared() once, as soon as a host is present; at once when one already is.
    void waitForHost();

Q_SIGNALS:
    void appeared();

private:
    static bool isStatusNotifierHostPresent();
    static bool isXEmbedTrayPresent();
    void check();

    // Neither kind of host announces itself in a way Qt passes on: looked at each second while
    // waiting, and only then.
    QTimer m_poll;
};
