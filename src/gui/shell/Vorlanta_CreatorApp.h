#pragma once

#include <QtCore/QStringList>

#include <memory>

class AppContext;
class AppDelegate;
class PersistenceController;

// The application object: creates the delegate and the shared context and bridges the two.
class Vorlanta_CreatorApp {
public:
    explicit Vorlanta_CreatorApp(const QStringList &arguments = {},
                                 const QStringList &launchUrls = {});
    ~Vorlanta_CreatorApp();

    Vorlanta_CreatorApp(const Vorlanta_CreatorApp &) = delete;
    Vorlanta_CreatorApp &operator=(const Vorlanta_CreatorApp &) = delete;

    // Makes the context the delegate's app context; nothing happens if it already is.
    void ensureAppContextBridge(AppContext &context);

    PersistenceController &persistenceController() { return *m_persistenceController; }
    AppContext &appContext() { return *m_appContext; }
    AppDelegate &appDelegate() { return *m_appDelegate; }

private:
    PersistenceController *m_persistenceController;
    std::unique_ptr<AppContext> m_appContext;
    std::unique_ptr<AppDelegate> m_appDelegate;
};
