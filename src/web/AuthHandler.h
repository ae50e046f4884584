#pragma once

#include "gui/web/WebLayer.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QVariant>

#include <functional>

class QWebEngineLoadingInfo;
class QWebEnginePage;
class QWidget;

// One sign-in through the service's web login page in a window of the app: a script in every
// frame watches the page's storage for an access token, and the storage item "token" is read
// after each page of the web domain loads. The first token, the window closing or a failed
// page ends it; the outcome is delivered exactly once.
class AuthHandler : public QObject {
    Q_OBJECT
public:
    using Outcome = WebLayer::LoginOutcome;

    static constexpr int kReadDelayMs = 500;
    static constexpr int kGraceMs = 200;

    AuthHandler(QString webDomain, std::function<void(const QString &)> printLine);
    ~AuthHandler() override;

    void startWebAuthSession(const QUrl &authenticationUrl, std::function<void(Outcome)> done);

    // A "tokenFound" message from a page; called by the channel object.
    void receive(const QVariant &body);
    // True when the host is the web domain or one of its subdomains.
    bool isOnWebDomain(const QString &host) const;

private:
    void pageFinished();
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void finish(const Outcome &outcome);
    void cleanUp();

    QString m_webDomain;
    std::function<void(const QString &)> m_printLine;
    std::function<void(Outcome)> m_continuation;
    QPointer<QWidget> m_authWindow;
    QPointer<QWebEnginePage> m_page;
    bool m_didFinish = false;
    bool m_hasDeliveredToken = false;
};
