#pragma once

#include <QtCore/QString>

// What a parked login token is handed to: the authentication state, which signs in with it.
class AuthTokenReceiver {
public:
    virtual ~AuthTokenReceiver() = default;
    // Starts signing in with the token; called on the main thread.
    virtual void loginWithToken(const QString &token) = 0;
};
