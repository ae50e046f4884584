#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>

#include <functional>

class QWebEngineProfile;

// The one persistent web profile of the login window, the dashboard and the session bridge:
// cookies, cache and web storage that one writes the others see.
class WebViewStore {
public:
    // Sets where the profile keeps its data; before the first shared().
    static void configure(const QString &storagePath, const QString &cachePath);
    // Made on first use.
    static QWebEngineProfile *shared();
    // Removes cookies, the cache and the web application's local and session storage; done runs
    // once when all is gone.
    static void clear(const QUrl &webRoot, std::function<void()> done);
};
