#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>

#include <functional>
#include <optional>

class QWidget;

// The embedded browser: the dashboard window, the hidden page that seeds the web application's
// storage with a token, and wiping web data. It lives in a module of its own (vorlanta-web),
// loaded when a web view is first needed, so that a tray app that never opens one never maps
// the web engine (~100 MiB). Main thread only.
class WebLayer {
public:
    // Where the one persistent web profile keeps its data, and how the module prints its lines.
    struct Setup {
        QString storagePath;
        QString cachePath;
        std::function<void(const QString &line)> printLine;
    };

    // How a web login ended: a token, nothing (the window was closed), or an error.
    struct LoginOutcome {
        std::optional<QString> token;
        QString error; // not empty when a page failed to load
    };

    virtual ~WebLayer() = default;

    // The dashboard window ("dashboard", not shown yet) for the web application's root page,
    // writing the token into the page's storage at the start of every page when one is given.
    virtual QWidget *createDashboardWindow(const QUrl &webRoot,
                                           const std::optional<QString> &token) = 0;
    // Loads the root page once in a hidden page and writes the token into its local and session
    // storage; done runs once, after the write or a failed load. A later call replaces it.
    virtual void seedSession(const QUrl &webRoot, const QString &token,
                             std::function<void()> done) = 0;
    // Removes the profile's cookies, cache and the web application's storage; done runs once.
    virtual void clearAll(const QUrl &webRoot, std::function<void()> done) = 0;
    // Signs in through the login page in the "Login - Vorlanta Creator" window; tokens count
    // from pages of the web domain (and its subdomains) only. done runs once.
    virtual void startWebAuthSession(const QUrl &loginPage, const QString &webDomain,
                                     std::function<void(const LoginOutcome &)> done) = 0;

    // The module's layer, loaded on first use; null (with the reason in *error) when the module
    // cannot be loaded. The setup of the first call holds.
    static WebLayer *load(const Setup &setup, QString *error = nullptr);
    // The layer when load() has succeeded, else null.
    static WebLayer *loaded();
};

// The module's entry point: the one layer of the process, made at the first call.
extern "C" {
WebLayer *vorlanta_create_web_layer(const WebLayer::Setup *setup);
using CreateWebLayerFunction = decltype(&vorlanta_create_web_layer);
}
