#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>

// Delivers one service request to the running application over its local socket, starting the
// application first when none runs.
class ServiceRequestSender {
public:
    // The request line as the running instance reads it.
    explicit ServiceRequestSender(QByteArray requestLine) : m_request(std::move(requestLine)) {}

    // True once the running instance has accepted the request; otherwise error() says why.
    bool deliver();
    const QString &error() const { return m_error; }

private:
    enum class Attempt { accepted, noInstance, refused };
    Attempt tryOnce();
    bool startApplication();

    QByteArray m_request;
    QString m_error;
};
