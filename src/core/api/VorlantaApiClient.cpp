#include "core/api/VorlantaApiClient.h"

#include "core/shell/Console.h"

#include <QtCore/QStringDecoder>

#include <chrono>

namespace {

using namespace std::chrono_literals;

// Coroutines below keep non-trivial temporaries out of co_await expressions: GCC 12 destroys such
// temporaries twice.

// The body as UTF-8 text, or the empty text when it is not valid UTF-8.
QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    return decoder.hasError() ? QString() : text;
}

APIError failure(const HttpResponse &response, const QString &text)
{
    if (response.statusCode == 401) {
        return APIError::tokenExpired();
    }
    return APIError::invalidResponse(response.statusCode, text);
}

} // namespace

QString describeError(const std::exception &error)
{
    if (const auto *api = dynamic_cast<const APIError *>(&error)) {
        return api->description();
    }
    if (const auto *network = dynamic_cast<const NetworkError *>(&error)) {
        return network->description();
    }
    return QString::fromUtf8(error.what());
}

QString debugDescribeError(const std::exception &error)
{
    if (const auto *api = dynamic_cast<const APIError *>(&error)) {
        return api->debugDescription();
    }
    if (const auto *network = dynamic_cast<const NetworkError *>(&error)) {
        return network->debugDescription();
    }
    return QString::fromUtf8(error.what());
}

VorlantaApiClient::VorlantaApiClient(const QString &baseURL, const AuthState &authState)
    : m_baseURL(baseURL, QUrl::StrictMode)
{
    if (!m_baseURL.isValid() || m_baseURL.isRelative() || m_baseURL.host().isEmpty()) {
        throw std::invalid_argument("Invalid base URL");
    }
    m_headers = {{"Accept", "application/json"}, {"User-Agent", "VorlantaCreator/1.0"}};
    // No header at all for an empty token, never "Bearer " with nothing behind it.
    if (!authState.accessToken.isEmpty()) {
        m_headers.append(
            qMakePair(QByteArray("Authorization"), "Bearer " + authState.accessToken.toUtf8()));
    }
}

std::shared_ptr<VorlantaApiClient> VorlantaApiClient::make(const QString &baseURL,
                                                           const AuthState &authState)
{
    return std::make_shared<VorlantaApiClient>(baseURL, authState);
}

QUrl VorlantaApiClient::resolve(const QString &path) const
{
    const QUrl relative(path, QUrl::StrictMode);
    if (!relative.isValid()) {
        throw APIError::invalidURL(path);
    }
    const QUrl resolved = m_baseURL.resolved(relative);
    if (!resolved.isValid() || resolved.host().isEmpty()) {
        throw APIError::invalidURL(path);
    }
    return resolved;
}

QCoro::Task<HttpResponse> VorlantaApiClient::sendJson(const QByteArray &methodName,
                                                      const QString &path,
                                                      const nlohmann::ordered_json &body)
{
    const QString method = QString::fromLatin1(methodName);
    // 1.
    Console::printLine(QStringLiteral("[VorlantaApiClient] Making ") + method +
                       QStringLiteral(" request to: ") + path);
    // 2.-4. URL, a 60 s request, a compact JSON body.
    HttpRequest request;
    request.method = methodName;
    request.url = resolve(path);
    request.headers = m_headers;
    request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    request.timeout = 60s;
    request.body = QByteArray::fromStdString(body.dump());
    // 5. Transport failures reach the caller unchanged.
    const HttpResponse response = co_await HttpTransport::send(request);
    // 6.-7.
    if (response.statusCode == 200) {
        Console::printLine(QStringLiteral("[VorlantaApiClient] ") + method +
                           QStringLiteral(" request successful"));
        co_return response;
    }
    const QString text = bodyText(response.body);
    Console::printLine(QStringLiteral("[VorlantaApiClient] ") + method +
                       QStringLiteral(" request failed: ") + QString::number(response.statusCode) +
                       QStringLiteral(", body: ") + text);
    throw failure(response, text);
}

QCoro::Task<nlohmann::json> VorlantaApiClient::post(const QString &path,
                                                    const nlohmann::ordered_json &body)
{
    const QByteArray method("POST");
    const HttpResponse response = co_await sendJson(method, path, body);
    co_return JsonRead::parse(response.body);
}

QCoro::Task<> VorlantaApiClient::patch(const QString &path, const nlohmann::ordered_json &body)
{
    // The answer body is not read.
    const QByteArray method("PATCH");
    co_await sendJson(method, path, body);
}

QCoro::Task<QByteArray> VorlantaApiClient::getRaw(const QString &path)
{
    // 1.-2.
    Console::printLine(QStringLiteral("[VorlantaApiClient] Making raw GET request to: ") + path);
    HttpRequest request;
    request.url = resolve(path);
    request.headers = m_headers;
    // 3. The session's default time-outs.
    const HttpResponse response = co_await HttpTransport::send(request);
    // 4.-5.
    if (response.statusCode == 200) {
        Console::printLine(QStringLiteral("[VorlantaApiClient] Raw GET request successful"));
        co_return response.body;
    }
    const QString text = bodyText(response.body);
    Console::printLine(QStringLiteral("[VorlantaApiClient] Raw GET request failed with status: ") +
                       QString::number(response.statusCode) + QStringLiteral(", body: ") + text);
    throw failure(response, text);
}

QList<SelectedService> VorlantaApiClient::selectedServices(const QuickProjectDraft &draft)
{
    QList<SelectedService> services;
    if (draft.includeThumbnail) {
        services.append({QStringLiteral("thumbnail"), 1});
    }
    if (draft.includeLongForm) {
        services.append({QStringLiteral("video_editing"), 1});
    }
    if (draft.includeShort) {
        services.append({QStringLiteral("reformatting"), 1});
    }
    if (services.isEmpty()) {
        services.append({QStringLiteral("thumbnail"), 1});
    }
    return services;
}

QCoro::Task<qint64> VorlantaApiClient::createProject(const QuickProjectDraft &draft)
{
    // 1.
    Console::printLine(QStringLiteral("[VorlantaApiClient] Creating project with title: ") +
                       draft.title);
    // 2.-3.
    CreateProjectRequest request;
    request.title = draft.title;
    request.due_date = draft.dueDate.value_or(QString());
    request.channel_id = draft.channelId;
    request.notes_for_editor = draft.notes.value_or(QString());
    request.selected_services = selectedServices(draft);
    // 4.
    const QString path = QStringLiteral("api/v1/creator/projects/");
    const nlohmann::ordered_json body = request.toJson();
    const nlohmann::json answer = co_await post(path, body);
    const qint64 id = CreateProjectResponse::fromJson(answer).id;
    Console::printLine(
        QStringLiteral("[VorlantaApiClient] Project created successfully with ID: ") +
        QString::number(id));
    co_return id;
}

QCoro::Task<InitUploadResponse>
VorlantaApiClient::initFileUpload(qint64 projectId, const QString &fileName, qint64 fileSize)
{
    Console::printLine(QStringLiteral("[VorlantaApiClient] Initiating file upload for project ") +
                       QString::number(projectId) + QStringLiteral(", file: ") + fileName +
                       QStringLiteral(", size: ") + QString::number(fileSize));
    const QString path = QStringLiteral("api/v1/creator/projects/%1/files/upload").arg(projectId);
    const nlohmann::ordered_json body = InitUploadRequest{fileName, fileSize}.toJson();
    const nlohmann::json answer = co_await post(path, body);
    InitUploadResponse response = InitUploadResponse::fromJson(answer);
    Console::printLine(
        QStringLiteral("[VorlantaApiClient] File upload initiated successfully, file ID: ") +
        QString::number(response.file_id));
    co_return response;
}

QCoro::Task<> VorlantaApiClient::completeFileUpload(qint64 fileId, const QStringList &etags)
{
    Console::printLine(QStringLiteral("[VorlantaApiClient] Completing file upload for file ID: ") +
                       QString::number(fileId));
    const QString path = QStringLiteral("api/v1/creator/files/%1/complete-upload").arg(fileId);
    const nlohmann::ordered_json body = CompleteUploadRequest{etags}.toJson();
    co_await patch(path, body);
    Console::printLine(QStringLiteral("[VorlantaApiClient] File upload completed successfully"));
}

QCoro::Task<bool> VorlantaApiClient::validateToken()
{
    const TokenCheckResult result = co_await checkToken();
    co_return result.outcome == TokenCheck::accepted;
}

QCoro::Task<VorlantaApiClient::TokenCheckResult> VorlantaApiClient::checkToken()
{
    Console::printLine(QStringLiteral("[VorlantaApiClient] Validating token"));
    TokenCheckResult result;
    try {
        // The body is discarded: a 200 answer is what counts.
        const QString path = QStringLiteral("api/v1/creator/channels/");
        (void)co_await getRaw(path);
        Console::printLine(QStringLiteral("[VorlantaApiClient] Token validation successful"));
        result.outcome = TokenCheck::accepted;
        co_return result;
    } catch (const APIError &error) {
        Console::printLine(QStringLiteral("[VorlantaApiClient] Token validation failed: ") +
                           error.description());
        const int status = error.statusCode();
        const bool passing = error.kind() == APIError::Kind::invalidResponse &&
                             (status < 0 || status == 429 || status >= 500);
        result.outcome = error.kind() == APIError::Kind::tokenExpired ? TokenCheck::rejected
                         : passing                                    ? TokenCheck::unreachable
                                                                      : TokenCheck::refused;
        result.reason = error.debugDescription();
        result.message = error.description();
    } catch (const std::exception &error) {
        Console::printLine(QStringLiteral("[VorlantaApiClient] Token validation failed: ") +
                           describeError(error));
        result.outcome = TokenCheck::unreachable;
        result.reason = debugDescribeError(error);
        result.message = describeError(error);
    }
    co_return result;
}
