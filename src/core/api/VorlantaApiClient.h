#pragma once

#include "core/api/APIError.h"
#include "core/api/ApiRecords.h"
#include "core/api/AuthStore.h"
#include "core/api/HttpTransport.h"

#include <QCoro/QCoroTask>
#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <memory>

// Coroutines here take their parameters by reference and copy what they keep before their first
// suspension (tasks start eagerly): GCC 12 miscompiles by-value class parameters of coroutines.
//
// The REST client of the service. The bearer token is fixed when the client is made; a new token
// means a new client. Holds no mutable state, so one client serves concurrent calls. Callers keep
// it alive (shared) while its operations run.
class VorlantaApiClient : public std::enable_shared_from_this<VorlantaApiClient> {
public:
    // Throws std::invalid_argument("Invalid base URL") when the base URL does not parse.
    VorlantaApiClient(const QString &baseURL, const AuthState &authState);
    static std::shared_ptr<VorlantaApiClient> make(const QString &baseURL,
                                                   const AuthState &authState);

    const QUrl &baseURL() const { return m_baseURL; }
    // "Accept", "User-Agent" and, for a non-empty token, "Authorization".
    const QList<QPair<QByteArray, QByteArray>> &defaultHeaders() const { return m_headers; }

    // Endpoint operations.
    QCoro::Task<qint64> createProject(const QuickProjectDraft &draft);
    QCoro::Task<InitUploadResponse> initFileUpload(qint64 projectId, const QString &fileName,
                                                   qint64 fileSize);
    QCoro::Task<> completeFileUpload(qint64 fileId, const QStringList &etags);
    // Any failure gives false.
    QCoro::Task<bool> validateToken();

    // Like validateToken, telling a rejected token (401) apart from a service that could not
    // be asked for now (no answer, 5xx, 429) and one that refused to answer (any other status:
    // asking again gets the same answer).
    enum class TokenCheck { accepted, rejected, unreachable, refused };
    struct TokenCheckResult {
        TokenCheck outcome = TokenCheck::unreachable;
        QString reason;  // unless accepted: what failed, for the log
        QString message; // the same for the user
    };
    QCoro::Task<TokenCheckResult> checkToken();

    // The answer body of a GET, unparsed.
    QCoro::Task<QByteArray> getRaw(const QString &path);

    // The request URL for an endpoint path (RFC 3986 reference resolution); throws
    // APIError::invalidURL.
    QUrl resolve(const QString &path) const;

    // The services of a draft in their fixed order, never empty.
    static QList<SelectedService> selectedServices(const QuickProjectDraft &draft);

private:
    QCoro::Task<nlohmann::json> post(const QString &path, const nlohmann::ordered_json &body);
    QCoro::Task<> patch(const QString &path, const nlohmann::ordered_json &body);
    QCoro::Task<HttpResponse> sendJson(const QByteArray &method, const QString &path,
                                       const nlohmann::ordered_json &body);

    QUrl m_baseURL;
    QList<QPair<QByteArray, QByteArray>> m_headers;
};

// The text of an error raised by the client or its transport, as a user would read it.
QString describeError(const std::exception &error);
// The same error's case or code and details, for logs.
QString debugDescribeError(const std::exception &error);
