#pragma once

#include <QtCore/QString>

#include <optional>
#include <stdexcept>

// An answer of the service that is not a success.
class APIError : public std::runtime_error {
public:
    enum class Kind { invalidResponse, invalidURL, tokenExpired };

    static APIError invalidResponse(int statusCode, std::optional<QString> body);
    static APIError invalidURL(const QString &urlString);
    static APIError tokenExpired();

    Kind kind() const { return m_kind; }
    // invalidResponse: the HTTP status, or -1 when the answer was not HTTP.
    int statusCode() const { return m_statusCode; }
    // invalidResponse: the body as UTF-8, or empty text when it was not valid UTF-8.
    const std::optional<QString> &body() const { return m_body; }
    // invalidURL: the path that could not be resolved.
    const QString &urlString() const { return m_urlString; }

    // One plain sentence for the user (status texts, dialogs, the command line).
    QString description() const;
    // The case and its details, for log lines.
    QString debugDescription() const;

private:
    APIError(Kind kind, int statusCode, std::optional<QString> body, QString urlString);

    Kind m_kind;
    int m_statusCode = -1;
    std::optional<QString> m_body;
    QString m_urlString;
};
