#pragma once

#include <QtCore/QObject>
#include <QtCore/QTimer>
#include <QtCore/QUrl>

#include <functional>
#include <memory>

class QWebEnginePage;

// A hidden page that loads the web application once and writes the token into its local and
// session storage, so that web views of the shared profile open signed in.
class DashboardSessionBridge : public QObject {
    Q_OBJECT
public:
    static constexpr int kLoadTimeoutMs = 60000;

    DashboardSessionBridge(QString token, std::function<void()> completion);
    ~DashboardSessionBridge() override;

    // Loads the web application's root page; a root that is not a URL completes at once.
    void start(const QUrl &webRoot);
    void injectToken();

private:
    void complete();

    QString m_token;
    std::function<void()> m_completion;
    std::unique_ptr<QWebEnginePage> m_page;
    QTimer m_timeout;
};
