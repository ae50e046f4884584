#pragma once

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

#include <functional>

class AuthTokenReceiver;
class ServiceProvider;
class SetupWindowManager;
class WorkWindow;
class QWidget;

// The one shared object that the user interface observes. Created once by the application
// object and bridged to the application delegate. It opens the two work windows, or brings the
// open one forward and hands it the new files. Main thread only.
class AppContext : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isDropMode READ isDropMode WRITE setDropMode NOTIFY isDropModeChanged)
public:
    explicit AppContext(QObject *parent = nullptr);
    ~AppContext() override;

    // The authentication state, once the delegate has handed it over; null until then.
    AuthTokenReceiver *appState() const { return m_appState; }
    void setAppState(AuthTokenReceiver *state);

    // Setting it (even to the same provider) links the provider back and delivers parked
    // requests.
    ServiceProvider *serviceProvider() const;
    void setServiceProvider(ServiceProvider *provider);

    bool isDropMode() const { return m_isDropMode; }
    void setDropMode(bool on);

    void openQuickProjectWindow(const QList<QUrl> &urls);
    void openMissingFilesWindow(const QList<QUrl> &urls);
    void processPendingServiceActions();
    // File URLs of the paths that exist, in order.
    static QList<QUrl> convertPathsToURLs(const QStringList &paths);
    void focus(QWidget *window);
    void windowWillClose(QObject *window);

    // The setup window's manager, owned.
    SetupWindowManager *setupWindowManager() const { return m_setupWindowManager; }

    // The open work windows; null when none is open.
    QWidget *quickProjectWindow() const;
    QWidget *missingFilesWindow() const;

Q_SIGNALS:
    void appStateChanged();
    void serviceProviderChanged();
    void isDropModeChanged(bool on);

private:
    // The words that tell the two work windows apart in the log, and the notification posted to
    // an open one.
    struct WindowWords {
        QString call;
        QString name;
        QString notification;
    };
    void openWindow(const WindowWords &words, const QList<QUrl> &urls, QPointer<WorkWindow> &window,
                    const std::function<WorkWindow *(const QList<QUrl> &)> &create);
    WorkWindow *createQuickProjectWindow(const QList<QUrl> &urls);
    WorkWindow *createMissingFilesWindow(const QList<QUrl> &urls);

    AuthTokenReceiver *m_appState = nullptr;
    QPointer<ServiceProvider> m_serviceProvider;
    bool m_isDropMode = false;
    SetupWindowManager *m_setupWindowManager;
    QPointer<WorkWindow> m_quickProjectWindow;
    QPointer<WorkWindow> m_missingFilesWindow;
};
