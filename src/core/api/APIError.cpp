#include "core/api/APIError.h"

namespace {

// One plain sentence per case and status class: what a user can make of the error.
QString plainSentence(APIError::Kind kind, int statusCode)
{
    switch (kind) {
    case APIError::Kind::invalidURL:
        return QStringLiteral("The address of the service is not valid.");
    case APIError::Kind::tokenExpired:
        return QStringLiteral("Your sign-in is no longer valid. Please sign in again.");
    case APIError::Kind::invalidResponse:
        break;
    }
    if (statusCode < 0) {
        return QStringLiteral("The service sent an answer that could not be understood.");
    }
    if (statusCode >= 500) {
        return QStringLiteral("The service could not complete the request (HTTP %1). "
                              "Please try again later.")
            .arg(statusCode);
    }
    if (statusCode >= 400) {
        return QStringLiteral("The service refused the request (HTTP %1).").arg(statusCode);
    }
    return QStringLiteral("The service gave an unexpected answer (HTTP %1).").arg(statusCode);
}

} // namespace

APIError::APIError(Kind kind, int statusCode, std::optional<QString> body, QString urlString)
    : std::runtime_error(plainSentence(kind, statusCode).toStdString()), m_kind(kind),
      m_statusCode(statusCode), m_body(std::move(body)), m_urlString(std::move(urlString))
{}

APIError APIError::invalidResponse(int statusCode, std::optional<QString> body)
{
    return APIError(Kind::invalidResponse, statusCode, std::move(body), QString());
}

APIError APIError::invalidURL(const QString &urlString)
{
    return APIError(Kind::invalidURL, -1, std::nullopt, urlString);
}

APIError APIError::tokenExpired()
{
    return APIError(Kind::tokenExpired, 401, std::nullopt, QString());
}

QString APIError::description() const
{
    return plainSentence(m_kind, m_statusCode);
}

QString APIError::debugDescription() const
{
    switch (m_kind) {
    case Kind::invalidResponse:
        return QStringLiteral("invalidResponse(statusCode: %1, body: %2)")
            .arg(m_statusCode)
            .arg(m_body ? QLatin1Char('"') + *m_body + QLatin1Char('"') : QStringLiteral("nil"));
    case Kind::invalidURL:
        return QStringLiteral("invalidURL(urlString: \"%1\")").arg(m_urlString);
    case Kind::tokenExpired:
        break;
    }
    return QStringLiteral("tokenExpired");
}
