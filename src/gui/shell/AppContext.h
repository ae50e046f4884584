#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>

class AuthTokenReceiver;

// The one shared object that the user interface observes. Created once by the application
// object and bridged to the application delegate.
class AppContext : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isDropMode READ isDropMode WRITE setDropMode NOTIFY isDropModeChanged)
public:
    explicit AppContext(QObject *parent = nullptr);

    // The authentication state, once the delegate has handed it over; null until then.
    AuthTokenReceiver *appState() const { return m_appState; }
    void setAppState(AuthTokenReceiver *state);

    bool isDropMode() const { return m_isDropMode; }
    void setDropMode(bool on);

Q_SIGNALS:
    void appStateChanged();
    void isDropModeChanged(bool on);

private:
    AuthTokenReceiver *m_appState = nullptr;
    bool m_isDropMode = false;
};
