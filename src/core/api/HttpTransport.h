#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QPair>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

// Lets one thread abort requests that run on others: once cancel() is called, every request that
// carries the token ends with NetworkError cancelled, a transfer under way at once and a wait for
// connectivity within a twentieth of a second.
class CancelToken {
public:
    void cancel();
    bool isCancelled() const { return m_cancelled.load(); }
    // For work that polls a flag (file copies).
    const std::atomic_bool *flag() const { return &m_cancelled; }

    // The transport's: cancel() calls wakeUp (on the cancelling thread) while it is set.
    void setWakeUp(std::function<void()> wakeUp);

private:
    std::atomic_bool m_cancelled{false};
    std::mutex m_mutex;
    std::function<void()> m_wakeUp;
};

// A byte window of a file sent as a request body, read from disk while it is sent so that a
// large body never sits in memory.
struct HttpBodyFile {
    QString filePath;
    qint64 offset = 0;
    qint64 length = 0;
};

// One HTTP request as the application sends it.
struct HttpRequest {
    QByteArray method = "GET";
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // When set, the body is this file window instead of `body`; sent with exactly its length.
    std::optional<HttpBodyFile> bodyFile;
    // Idle time-out: the request fails when no data moved for this long. Unset: the transport's
    // default (60 s without data, as the platform's default session configuration). Stalls are
    // noticed about once a second, so shorter values act as about one second.
    std::optional<std::chrono::milliseconds> timeout;
    // Resource time-out: the request fails when it has not ended after this long, waits for
    // connectivity included. Unset: none.
    std::optional<std::chrono::milliseconds> totalTimeout;
    // When set, a connection that cannot be made (refused, host or network unreachable) is tried
    // again every half second until it is made or the total time-out ends (timedOut), as a
    // session that waits for connectivity does. Nothing was sent then, so any method may wait.
    bool waitsForConnectivity = false;
    // When set, cancelling it aborts the request.
    std::shared_ptr<CancelToken> cancel;
    // When set, the response body is written to this file (created or emptied) instead of
    // HttpResponse::body, so a large download never sits in memory.
    std::optional<QString> responseFile;
    // Called on the transfer's worker thread with the body bytes sent so far, whenever that
    // number changes. It may go back to 0 when libcurl rewinds the body.
    std::function<void(qint64 sent)> onBodySent;
};

struct HttpResponse {
    int statusCode = -1;
    QList<QPair<QByteArray, QByteArray>> headers; // names lower-cased
    QByteArray body;

    // The first value of a header, by its lower-case name.
    std::optional<QByteArray> header(const QByteArray &lowerCaseName) const;
};

// A transport failure, with a stable code. The codes are those of the platform URL-loading
// errors that callers compare (retries depend on them).
class NetworkError : public std::runtime_error {
public:
    enum class Code : int {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        notConnectedToInternet = -1009,
        secureConnectionFailed = -1200,
    };

    NetworkError(Code code, const QString &description);

    Code code() const { return m_code; }
    int codeValue() const { return int(m_code); }
    QString description() const { return m_description; }
    // With the code, for logs.
    QString debugDescription() const;

private:
    Code m_code;
    QString m_description;
};

// The application's one HTTP stack (libcurl). Requests run on worker threads; results are
// awaited from the main thread. TLS verification is on; proxies come from the environment.
// Only http and https; HTTP/1.1. GET and HEAD follow up to 10 redirects, other methods return
// the 3xx answer. No header is added besides Host and Content-Length.
namespace HttpTransport {

// Sends the request on a worker thread; the awaiting coroutine resumes on its own thread.
// Throws NetworkError.
QCoro::Task<HttpResponse> send(const HttpRequest &request);

// Sends the request on the calling thread, blocking it. Throws NetworkError.
HttpResponse sendBlocking(const HttpRequest &request);

} // namespace HttpTransport
