#include "core/api/HttpTransport.h"

#include "core/shell/FileDescriptor.h"

#include <QCoro/QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>
#include <QtCore/QFuture>
#include <QtCore/QScopeGuard>
#include <QtCore/QThreadPool>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <variant>

NetworkError::NetworkError(Code code, const QString &description)
    : std::runtime_error(description.toStdString()), m_code(code), m_description(description)
{}

QString NetworkError::debugDescription() const
{
    return QStringLiteral("HttpTransport error %1: %2").arg(codeValue()).arg(m_description);
}

void CancelToken::cancel()
{
    const std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_wakeUp) {
        m_wakeUp();
    }
}

void CancelToken::setWakeUp(std::function<void()> wakeUp)
{
    const std::lock_guard lock(m_mutex);
    m_wakeUp = std::move(wakeUp);
}

std::optional<QByteArray> HttpResponse::header(const QByteArray &lowerCaseName) const
{
    const QByteArray name = lowerCaseName.toLower();
    for (const auto &[headerName, value] : headers) {
        if (headerName == name) {
            return value;
        }
    }
    return std::nullopt;
}

namespace {

using Clock = std::chrono::steady_clock;
using Code = NetworkError::Code;

constexpr std::chrono::milliseconds kDefaultIdleTimeout{60'000};
// How often a host that takes no connections is tried again, and how often that wait looks
// for a cancel or the process's exit.
constexpr std::chrono::milliseconds kReachabilityPoll{500};
constexpr std::chrono::milliseconds kWaitSlice{50};
constexpr long kMaxRedirects = 10;
constexpr int kMaxWorkers = 8;

// Set while the process exits, so that running transfers end instead of holding up the exit.
std::atomic<bool> g_stopping{false};

// What one transfer collects; the callbacks see it through their user pointer.
struct Transfer {
    HttpResponse response;
    Clock::duration idleLimit{};
    Clock::time_point lastActivity = Clock::now();
    curl_off_t uploaded = 0;
    bool headersEnded = false;
    bool idleExpired = false;
    bool stopped = false;                // by the process's exit or the request's cancel token
    const CancelToken *cancel = nullptr; // the request's, when set
    const std::function<void(qint64)> *onBodySent = nullptr; // the request's, when set
    int bodyFd = -1;     // the response file, when the body goes to disk
    QString bodyFailure; // why writing it failed
};

constexpr long kUploadBufferSize = 2L * 1024 * 1024;

// An open file window that libcurl pulls the body from.
struct BodyFileReader {
    int fd = -1;
    qint64 start = 0; // the window in the file
    qint64 length = 0;
    qint64 offset = 0; // next byte to read
    qint64 remaining = 0;
    QString failure; // set when the window could not be read whole
    BodyFileReader() = default;
    BodyFileReader(const BodyFileReader &) = delete;
    BodyFileReader &operator=(const BodyFileReader &) = delete;
    ~BodyFileReader()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

size_t onReadBody(char *buffer, size_t size, size_t count, void *user)
{
    auto *reader = static_cast<BodyFileReader *>(user);
    const size_t wanted = std::min<qint64>(qint64(size * count), reader->remaining);
    if (wanted == 0) {
        return 0;
    }
    ssize_t got = -1;
    do {
        got = ::pread(reader->fd, buffer, wanted, off_t(reader->offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        reader->failure = QString::fromLocal8Bit(std::strerror(errno));
        return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
        // The file shrank below the window: sending less than Content-Length would hang.
        reader->failure = QStringLiteral("the file ended before the body was sent");
        return CURL_READFUNC_ABORT;
    }
    reader->offset += got;
    reader->remaining -= got;
    return size_t(got);
}

// libcurl rewinds when it resends the body on a fresh connection after a reused one died.
int onSeekBody(void *user, curl_off_t offset, int origin)
{
    auto *reader = static_cast<BodyFileReader *>(user);
    if (origin != SEEK_SET || offset < 0 || offset > reader->length) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    reader->offset = reader->start + offset;
    reader->remaining = reader->length - offset;
    return CURL_SEEKFUNC_OK;
}

void ensureCurlInitialized()
{
    // A function-local static is initialised once, even when threads race to it.
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) {
        throw NetworkError(Code::unknown,
                           QStringLiteral("The HTTP library could not be initialised: ") +
                               QString::fromUtf8(curl_easy_strerror(result)));
    }
}

// One easy handle and one multi handle per thread: reusing them keeps their connections alive
// between requests. The multi handle's wait can be woken from another thread (cancel).
struct ThreadHandle {
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    ~ThreadHandle()
    {
        if (multi) {
            curl_multi_cleanup(multi);
        }
        if (easy) {
            curl_easy_cleanup(easy);
        }
    }
};

ThreadHandle &threadHandle()
{
    thread_local ThreadHandle cached;
    if (!cached.easy) {
        cached.easy = curl_easy_init();
    }
    if (!cached.multi) {
        cached.multi = curl_multi_init();
    }
    if (!cached.easy || !cached.multi) {
        throw NetworkError(Code::unknown,
                           QStringLiteral("The HTTP library could not create a handle."));
    }
    return cached;
}

// Clears the handle's options when a request ends, so it keeps no pointer to freed buffers.
struct HandleReset {
    CURL *handle;
    ~HandleReset() { curl_easy_reset(handle); }
};

struct HeaderList {
    curl_slist *list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList &) = delete;
    HeaderList &operator=(const HeaderList &) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
    void append(const QByteArray &line)
    {
        curl_slist *grown = curl_slist_append(list, line.constData());
        if (!grown) {
            throw std::bad_alloc();
        }
        list = grown;
    }
};

size_t onHeader(char *data, size_t size, size_t count, void *user)
{
    auto *transfer = static_cast<Transfer *>(user);
    const size_t length = size * count;
    transfer->lastActivity = Clock::now();
    QByteArray line(data, qsizetype(length));
    while (line.endsWith('\n') || line.endsWith('\r')) {
        line.chop(1);
    }
    QList<QPair<QByteArray, QByteArray>> &headers = transfer->response.headers;
    if (line.startsWith("HTTP/")) {
        // A new response begins (after a redirect or an interim 1xx): keep only the last one's.
        headers.clear();
        transfer->headersEnded = false;
    } else if (line.isEmpty()) {
        transfer->headersEnded = true;
    } else if (line.front() == ' ' || line.front() == '\t') {
        if (!headers.isEmpty()) { // obsolete line folding continues the previous value
            headers.last().second += ' ' + line.trimmed();
        }
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    return length;
}

size_t onBody(char *data, size_t size, size_t count, void *user)
{
    auto *transfer = static_cast<Transfer *>(user);
    const size_t length = size * count;
    transfer->lastActivity = Clock::now();
    if (transfer->bodyFd < 0) {
        transfer->response.body.append(data, qsizetype(length));
        return length;
    }
    for (size_t written = 0; written < length;) {
        const ssize_t put = ::write(transfer->bodyFd, data + written, length - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            transfer->bodyFailure = QString::fromLocal8Bit(std::strerror(errno));
            return 0; // libcurl ends the transfer with a write error
        }
        written += size_t(put);
    }
    return length;
}

int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto *transfer = static_cast<Transfer *>(user);
    if (g_stopping.load(std::memory_order_relaxed) ||
        (transfer->cancel && transfer->cancel->isCancelled())) {
        transfer->stopped = true;
        return 1;
    }
    const Clock::time_point now = Clock::now();
    if (uploaded != transfer->uploaded) {
        transfer->uploaded = uploaded;
        transfer->lastActivity = now;
        if (transfer->onBodySent && *transfer->onBodySent) {
            (*transfer->onBodySent)(qint64(uploaded));
        }
    } else if (now - transfer->lastActivity >= transfer->idleLimit) {
        // libcurl's low-speed check averages over seconds; this ends a stall after a burst on time.
        transfer->idleExpired = true;
        return 1;
    }
    return 0;
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const char c : text) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || std::strchr("!#$%&'*+-.^_`|~", c);
        if (!allowed || c == '\0') {
            return false;
        }
    }
    return true;
}

bool hasLineBreak(const QByteArray &text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

// The address without credentials, query or fragment: descriptions end up in logs.
QString describedUrl(const QUrl &url)
{
    return url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

Code codeFor(CURLcode result, long osErrno, const QByteArray &message)
{
    if (osErrno == ENETUNREACH || osErrno == ENETDOWN ||
        message.contains("Network is unreachable")) {
        return Code::notConnectedToInternet;
    }
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
        return Code::timedOut;
    case CURLE_COULDNT_CONNECT:
        return Code::cannotConnectToHost;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return Code::cannotFindHost;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2_STREAM:
        return Code::networkConnectionLost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return Code::secureConnectionFailed;
    case CURLE_URL_MALFORMAT:
        return Code::badURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return Code::unsupportedURL;
    case CURLE_ABORTED_BY_CALLBACK:
        return Code::cancelled;
    default:
        return Code::unknown;
    }
}

QString summaryFor(Code code)
{
    switch (code) {
    case Code::cancelled:
        return QStringLiteral("The request was cancelled");
    case Code::badURL:
        return QStringLiteral("The URL is not valid");
    case Code::timedOut:
        return QStringLiteral("The request timed out");
    case Code::unsupportedURL:
        return QStringLiteral("The URL's scheme is not supported");
    case Code::cannotFindHost:
        return QStringLiteral("The server's host name could not be found");
    case Code::cannotConnectToHost:
        return QStringLiteral("Could not connect to the server");
    case Code::networkConnectionLost:
        return QStringLiteral("The network connection was lost");
    case Code::notConnectedToInternet:
        return QStringLiteral("The computer is not connected to a network");
    case Code::secureConnectionFailed:
        return QStringLiteral("The secure connection failed");
    case Code::unknown:
        break;
    }
    return QStringLiteral("The request failed");
}

[[noreturn]] void fail(Code code, const HttpRequest &request, const QString &detail)
{
    throw NetworkError(code, summaryFor(code) + QStringLiteral(" (") +
                                 QString::fromLatin1(request.method) + QLatin1Char(' ') +
                                 describedUrl(request.url) + QStringLiteral("): ") + detail);
}

void checkRequest(const HttpRequest &request)
{
    const QUrl &url = request.url;
    const bool webScheme =
        url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (url.isEmpty() || !url.isValid() || url.isRelative() ||
        (webScheme && url.host().isEmpty())) {
        fail(Code::badURL, request, QStringLiteral("needs an absolute URL with a host"));
    }
    if (!isToken(request.method)) {
        fail(Code::unknown, request, QStringLiteral("the method is not an HTTP token"));
    }
    for (const auto &[name, value] : request.headers) {
        if (!isToken(name) || hasLineBreak(value)) {
            fail(Code::unknown, request,
                 QStringLiteral("the header \"") + QString::fromLatin1(name) +
                     QStringLiteral("\" is not a valid header line"));
        }
    }
}

template <typename T> void setOption(CURL *curl, CURLoption option, T value)
{
    if (const CURLcode result = curl_easy_setopt(curl, option, value); result != CURLE_OK) {
        throw NetworkError(Code::unknown, QStringLiteral("The HTTP library refused an option: ") +
                                              QString::fromUtf8(curl_easy_strerror(result)));
    }
}

using Outcome = std::variant<HttpResponse, NetworkError>;

// Owns the worker threads; on exit it stops running transfers and waits for them.
struct WorkerPool {
    QThreadPool pool;
    WorkerPool() { pool.setMaxThreadCount(kMaxWorkers); }
    ~WorkerPool()
    {
        g_stopping = true;
        pool.waitForDone();
    }
};

QThreadPool *workerPool()
{
    static WorkerPool workers;
    return &workers.pool;
}

// The options every request sets; idle is the request's idle time-out.
void setCommonOptions(CURL *curl, const QByteArray &url, Transfer &transfer, char *errorBuffer,
                      std::chrono::milliseconds idle)
{
    setOption(curl, CURLOPT_URL, url.constData());
    // Only the web: a file:// or other scheme must never reach the disk or another protocol.
    setOption(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    setOption(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    setOption(curl, CURLOPT_NOSIGNAL, 1L);
    setOption(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    setOption(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    setOption(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    setOption(curl, CURLOPT_HEADERDATA, &transfer);
    setOption(curl, CURLOPT_WRITEFUNCTION, &onBody);
    setOption(curl, CURLOPT_WRITEDATA, &transfer);
    setOption(curl, CURLOPT_NOPROGRESS, 0L);
    setOption(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
    setOption(curl, CURLOPT_XFERINFODATA, &transfer);
    setOption(curl, CURLOPT_CONNECTTIMEOUT_MS, long(idle.count()));
    setOption(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    setOption(curl, CURLOPT_LOW_SPEED_TIME, long(std::max<qint64>(1, (idle.count() + 999) / 1000)));
}

// The method and the body; true when a body is sent.
bool setBodyOptions(CURL *curl, const HttpRequest &request, BodyFileReader &bodyReader)
{
    const QByteArray &method = request.method;
    bool sendsBody = false;
    if (request.bodyFile) {
        const HttpBodyFile &window = *request.bodyFile;
        if (window.offset < 0 || window.length < 0) {
            fail(Code::unknown, request, QStringLiteral("the body window is negative"));
        }
        bodyReader.fd = ::open(window.filePath.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (bodyReader.fd < 0) {
            fail(Code::unknown, request,
                 QStringLiteral("could not open the body file: ") +
                     QString::fromLocal8Bit(std::strerror(errno)));
        }
        bodyReader.start = window.offset;
        bodyReader.length = window.length;
        bodyReader.offset = window.offset;
        bodyReader.remaining = window.length;
        sendsBody = true;
        // UPLOAD with a known size sends Content-Length, never chunked encoding.
        setOption(curl, CURLOPT_UPLOAD, 1L);
        setOption(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(window.length));
        setOption(curl, CURLOPT_READFUNCTION, &onReadBody);
        setOption(curl, CURLOPT_READDATA, &bodyReader);
        setOption(curl, CURLOPT_SEEKFUNCTION, &onSeekBody);
        setOption(curl, CURLOPT_SEEKDATA, &bodyReader);
        setOption(curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        if (method != "PUT") {
            setOption(curl, CURLOPT_CUSTOMREQUEST, method.constData());
        }
    } else if (method == "GET") {
        setOption(curl, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        setOption(curl, CURLOPT_NOBODY, 1L);
    } else {
        sendsBody =
            !request.body.isEmpty() || method == "POST" || method == "PUT" || method == "PATCH";
        if (sendsBody) {
            setOption(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
            setOption(curl, CURLOPT_POSTFIELDS, request.body.constData());
        }
        if (method != "POST" || !sendsBody) {
            setOption(curl, CURLOPT_CUSTOMREQUEST, method.constData());
        }
    }
    // The platform's session follows redirects; doing so for other methods could repeat a write.
    if (method == "GET" || method == "HEAD") {
        setOption(curl, CURLOPT_FOLLOWLOCATION, 1L);
        setOption(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    }
    return sendsBody;
}

void setHeaderOptions(CURL *curl, const HttpRequest &request, bool sendsBody, HeaderList &headers)
{
    bool hasAccept = false;
    bool hasExpect = false;
    bool hasContentType = false;
    for (const auto &[name, value] : request.headers) {
        const QByteArray lowerName = name.toLower();
        hasAccept = hasAccept || lowerName == "accept";
        hasExpect = hasExpect || lowerName == "expect";
        hasContentType = hasContentType || lowerName == "content-type";
        // "Name:" would remove the header in libcurl; "Name;" sends it with an empty value.
        headers.append(value.isEmpty() ? QByteArray(name + ';') : QByteArray(name + ": " + value));
    }
    // Empty values remove libcurl's own defaults: "Accept: */*", "Expect: 100-continue" and
    // the form Content-Type it puts on bodies.
    if (!hasAccept) {
        headers.append("Accept:");
    }
    if (!hasExpect) {
        headers.append("Expect:");
    }
    if (sendsBody && !hasContentType) {
        headers.append("Content-Type:");
    }
    setOption(curl, CURLOPT_HTTPHEADER, headers.list);
}

// Runs the transfer through the thread's multi handle, whose wait a cancel wakes at once (a
// stalled easy transfer would look at its progress callback only once a second).
CURLcode perform(ThreadHandle &handle, const HttpRequest &request, Transfer &transfer)
{
    if (curl_multi_add_handle(handle.multi, handle.easy) != CURLM_OK) {
        fail(Code::unknown, request, QStringLiteral("the HTTP library refused the transfer"));
    }
    const auto removal = qScopeGuard([&] { curl_multi_remove_handle(handle.multi, handle.easy); });
    if (request.cancel) {
        request.cancel->setWakeUp([multi = handle.multi] { curl_multi_wakeup(multi); });
    }
    const auto unhook = qScopeGuard([&] {
        if (request.cancel) {
            request.cancel->setWakeUp({});
        }
    });
    for (int running = 1;;) {
        if (curl_multi_perform(handle.multi, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        if (running == 0) {
            break;
        }
        if (request.cancel && request.cancel->isCancelled()) {
            transfer.stopped = true; // removing the handle ends the transfer
            return CURLE_ABORTED_BY_CALLBACK;
        }
        curl_multi_poll(handle.multi, nullptr, 0, 1000, nullptr);
    }
    int queued = 0;
    while (const CURLMsg *message = curl_multi_info_read(handle.multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == handle.easy) {
            return message->data.result;
        }
    }
    return CURLE_FAILED_INIT;
}

// One try. Throws NetworkError; *unreachable tells that no connection could be made.
HttpResponse sendOnce(const HttpRequest &request, std::optional<Clock::time_point> deadline,
                      bool *unreachable)
{
    ThreadHandle &handle = threadHandle();
    CURL *curl = handle.easy;
    const HandleReset reset{curl};

    const std::chrono::milliseconds idle = request.timeout.value_or(kDefaultIdleTimeout);
    Transfer transfer;
    transfer.idleLimit = idle;
    transfer.cancel = request.cancel.get();
    transfer.onBodySent = &request.onBodySent;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray url = request.url.toEncoded(QUrl::RemoveFragment);
    setCommonOptions(curl, url, transfer, errorBuffer, idle);
    if (deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
        setOption(curl, CURLOPT_TIMEOUT_MS, long(std::max<qint64>(1, left.count())));
    }
    const FileDescriptor responseFile(request.responseFile
                                          ? ::open(request.responseFile->toLocal8Bit().constData(),
                                                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                                          : -1);
    transfer.bodyFd = responseFile.get();
    if (request.responseFile && transfer.bodyFd < 0) {
        fail(Code::unknown, request,
             QStringLiteral("could not create the response file: ") +
                 QString::fromLocal8Bit(std::strerror(errno)));
    }
    BodyFileReader bodyReader;
    const bool sendsBody = setBodyOptions(curl, request, bodyReader);
    HeaderList headers;
    setHeaderOptions(curl, request, sendsBody, headers);

    const CURLcode result = perform(handle, request, transfer);
    if (result != CURLE_OK) {
        if (!bodyReader.failure.isEmpty()) {
            fail(Code::unknown, request,
                 QStringLiteral("could not read the body file: ") + bodyReader.failure);
        }
        if (!transfer.bodyFailure.isEmpty()) {
            fail(Code::unknown, request,
                 QStringLiteral("could not write the response file: ") + transfer.bodyFailure);
        }
        if (transfer.idleExpired) {
            fail(Code::timedOut, request,
                 QStringLiteral("no data moved for %1 ms").arg(qint64(idle.count())));
        }
        long osErrno = 0;
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
        const QByteArray message =
            errorBuffer[0] ? QByteArray(errorBuffer) : QByteArray(curl_easy_strerror(result));
        const Code code = transfer.stopped ? Code::cancelled : codeFor(result, osErrno, message);
        *unreachable = result == CURLE_COULDNT_CONNECT;
        fail(code, request, QString::fromUtf8(message));
    }
    if (!transfer.headersEnded) {
        // libcurl accepts a response cut off inside its headers; it is a lost connection.
        fail(Code::networkConnectionLost, request,
             QStringLiteral("the connection closed before the response headers ended"));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.statusCode = int(status);
    return std::move(transfer.response);
}

// Sleeps up to the duration; false when the request was cancelled or the process exits.
bool pauseUnlessStopped(const HttpRequest &request, std::chrono::milliseconds duration)
{
    const Clock::time_point end = Clock::now() + duration;
    for (;;) {
        if (g_stopping.load() || (request.cancel && request.cancel->isCancelled())) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (now >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kWaitSlice, end - now));
    }
}

} // namespace

namespace HttpTransport {

HttpResponse sendBlocking(const HttpRequest &request)
{
    checkRequest(request);
    ensureCurlInitialized();
    std::optional<Clock::time_point> deadline;
    if (request.totalTimeout) {
        deadline = Clock::now() + *request.totalTimeout;
    }
    for (;;) {
        bool unreachable = false;
        try {
            return sendOnce(request, deadline, &unreachable);
        } catch (const NetworkError &) {
            if (!unreachable || !request.waitsForConnectivity) {
                throw;
            }
        }
        // Nothing was sent: wait until the host takes connections again.
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) {
            fail(Code::timedOut, request,
                 QStringLiteral("the host took no connection for %1 ms")
                     .arg(qint64(request.totalTimeout->count())));
        }
        const auto pause = deadline ? std::min<Clock::duration>(kReachabilityPoll, *deadline - now)
                                    : Clock::duration(kReachabilityPoll);
        if (!pauseUnlessStopped(request,
                                std::chrono::duration_cast<std::chrono::milliseconds>(pause))) {
            fail(Code::cancelled, request,
                 QStringLiteral("stopped while waiting for the host to take connections"));
        }
    }
}

QCoro::Task<HttpResponse> send(const HttpRequest &request)
{
    // Copied before the first suspension: coroutine parameters stay references (by-value
    // parameters of class type are miscompiled by GCC 12).
    // The worker hands back a value either way: an exception must not cross the future.
    QFuture<Outcome> future = QtConcurrent::run(workerPool(), [request]() -> Outcome {
        try {
            return sendBlocking(request);
        } catch (const NetworkError &error) {
            return error;
        } catch (const std::exception &error) {
            return NetworkError(Code::unknown, QStringLiteral("The request failed: ") +
                                                   QString::fromUtf8(error.what()));
        }
    });
    Outcome outcome = co_await future;
    if (auto *error = std::get_if<NetworkError>(&outcome)) {
        throw NetworkError(*error);
    }
    co_return std::get<HttpResponse>(std::move(outcome));
}

} // namespace HttpTransport
