#include "core/api/APIError.h"

namespace {

QString genericDescription(APIError::Kind kind)
{
    return QStringLiteral("The operation couldn\u2019t be completed. (Vorlanta_Creator.APIError "
                          "error %1.)")
        .arg(int(kind));
}

} // namespace

APIError::APIError(Kind kind, int statusCode, std::optional<QString> body, QString urlString)
    : std::runtime_error(genericDescription(kind).toStdString()), m_kind(kind),
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
    return genericDescription(m_kind);
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
