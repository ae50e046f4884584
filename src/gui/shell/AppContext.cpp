#include "gui/shell/AppContext.h"

AppContext::AppContext(QObject *parent) : QObject(parent) {}

void AppContext::setAppState(AuthTokenReceiver *state)
{
    if (m_appState == state) {
        return;
    }
    m_appState = state;
    Q_EMIT appStateChanged();
}

void AppContext::setDropMode(bool on)
{
    if (m_isDropMode == on) {
        return;
    }
    m_isDropMode = on;
    Q_EMIT isDropModeChanged(on);
}
