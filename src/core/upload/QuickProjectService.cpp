#include "core/upload/QuickProjectService.h"

#include "core/api/APIError.h"
#include "core/queue/FileCopier.h"
#include "core/shell/Logger.h"
#include "core/upload/StagingArea.h"
#include "core/upload/UploadReport.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QPointer>
#include <QtCore/QScopeGuard>
#include <QtCore/QTimer>
#include <QtCore/QUnhandledException>
#include <QtCore/QUrl>
#include <QtCore/QUuid>

#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>

namespace {

const QString kPrefix = QStringLiteral("[QuickProjectService] ");
constexpr int kFileAttempts = 3;
constexpr int kPartTries = 2;
constexpr std::chrono::seconds kPartIdleTimeout{60};
// The upload session's resource time-out: a part, waits for connectivity included.
constexpr std::chrono::seconds kPartTotalTimeout{3600};
// How often a part's progress is reported while it is sent.
constexpr qint64 kProgressStepBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kProgressStepTime{250};

std::atomic<double> g_pauseScale{1.0};

void logInfo(const QString &message)
{
    Logger::info(kPrefix + message);
}
void logWarn(const QString &message)
{
    Logger::warn(kPrefix + message);
}
void logError(const QString &message)
{
    Logger::error(kPrefix + message);
}

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

// The error's textual form for the log: its case or domain and code, and its details.
QString debugDescribe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuickProjectServiceError &e) {
        return e.debugDescription();
    } catch (const std::exception &e) {
        return debugDescribeError(e);
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

// The error's code when it has one; compared without its domain.
std::optional<int> codeOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const NetworkError &e) {
        return e.codeValue();
    } catch (const QuickProjectServiceError &e) {
        return e.code();
    } catch (...) {
        return std::nullopt;
    }
}

bool isTransient(const std::exception_ptr &error)
{
    const std::optional<int> code = codeOf(error);
    return code && (*code == -1005 || *code == -1009 || *code == -1001 || *code == -1004);
}

void removeStagedCopy(std::optional<QString> &staged)
{
    if (staged) {
        QFile::remove(*staged); // a failed removal is not worth failing an upload for
        staged.reset();
        logInfo(QStringLiteral("Cleaned up temp file"));
    }
}

// Linux has no security-scoped access: it is never granted, so nothing is logged or released.
bool startSecurityScopedAccess(const QString &)
{
    return false;
}

} // namespace

QuickProjectServiceError::QuickProjectServiceError(int code, const QString &description)
    : std::runtime_error(description.toStdString()), m_code(code), m_description(description)
{}

QString QuickProjectServiceError::debugDescription() const
{
    return domain() + QStringLiteral(" error %1: %2").arg(m_code).arg(m_description);
}

QuickProjectService::QuickProjectService(std::shared_ptr<VorlantaApiClient> apiClient,
                                         QObject *parent)
    : QObject(parent), m_apiClient(std::move(apiClient))
{}

void QuickProjectService::setApiClient(std::shared_ptr<VorlantaApiClient> apiClient)
{
    m_apiClient = std::move(apiClient);
}

void QuickProjectService::setRetryPauseScale(double scale)
{
    g_pauseScale = scale;
}

double QuickProjectService::retryPauseScale()
{
    return g_pauseScale.load();
}

auto QuickProjectService::runScope()
{
    const bool outermost = !m_cancel;
    if (outermost) {
        m_cancel = std::make_shared<CancelToken>();
    }
    return qScopeGuard([this, outermost] {
        if (outermost) {
            m_cancel.reset();
        }
    });
}

void QuickProjectService::cancel()
{
    if (!m_cancel) {
        return;
    }
    m_cancel->cancel(); // aborts the part on its way
    if (m_pauseTimer) {
        m_pauseTimer->start(0);
    }
}

void QuickProjectService::throwIfCancelled() const
{
    if (cancelRequested()) {
        throw QuickProjectServiceError(kCancelled, QStringLiteral("Upload cancelled."));
    }
}

void QuickProjectService::stopCancelled(const QStringList &notFinished)
{
    QStringList names;
    for (const QString &file : notFinished) {
        names.append(fileNameOf(file));
    }
    const QString description =
        QStringLiteral("Upload cancelled. Files not uploaded: ") + names.join(QStringLiteral(", "));
    logInfo(description);
    setStatus(description);
    throw QuickProjectServiceError(kCancelled, description);
}

QCoro::Task<> QuickProjectService::pause(int seconds)
{
    if (cancelRequested()) {
        co_return;
    }
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(std::chrono::milliseconds(
        qint64(std::llround(double(seconds) * 1000.0 * g_pauseScale.load()))));
    m_pauseTimer = &timer;
    co_await timer;
    m_pauseTimer = nullptr;
}

void QuickProjectService::setUploading(bool value)
{
    if (m_isUploading != value) {
        m_isUploading = value;
        emit isUploadingChanged(value);
    }
}

void QuickProjectService::setProgress(double value)
{
    if (m_uploadProgress != value) {
        m_uploadProgress = value;
        emit uploadProgressChanged(value);
    }
}

void QuickProjectService::setStatus(const QString &value)
{
    if (m_statusText != value) {
        m_statusText = value;
        emit statusTextChanged(value);
    }
}

QList<QuickProjectService::PartRange> QuickProjectService::partRanges(qint64 size, int urlCount)
{
    QList<PartRange> ranges;
    if (urlCount <= 0 || size <= 0) {
        return ranges;
    }
    const qint64 partSize = qint64(std::ceil(double(size) / double(urlCount)));
    for (int k = 1; k <= urlCount; ++k) {
        const qint64 offset = qint64(k - 1) * partSize;
        if (offset >= size) {
            break;
        }
        ranges.append({offset, std::min(partSize, size - offset)});
    }
    return ranges;
}

std::optional<qint64> QuickProjectService::getFileSize(const QString &file)
{
    const QFileInfo info(file);
    if (!info.exists() || !info.isFile()) {
        return std::nullopt;
    }
    return info.size();
}

QString QuickProjectService::stageFileToTemp(const QString &originalFile,
                                             const std::atomic_bool *cancel)
{
    const QString directory = StagingArea::processDirectory();
    const QString destination = directory + QLatin1Char('/') +
                                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                                QLatin1Char('_') + fileNameOf(originalFile);
    const FileCopier::Result copied = FileCopier::copyFile(originalFile, destination, cancel);
    if (copied.cancelled) {
        throw QuickProjectServiceError(kCancelled, QStringLiteral("Upload cancelled."));
    }
    if (!copied.ok) {
        throw QuickProjectServiceError(
            kStagingFailed, QStringLiteral("Could not copy ") + fileNameOf(originalFile) +
                                QStringLiteral(" to the temporary directory ") + directory +
                                QStringLiteral(": ") + copied.errorDescription);
    }
    logInfo(QStringLiteral("Staged file from ") + originalFile + QStringLiteral(" to ") +
            destination);
    return destination;
}

QCoro::Task<QString> QuickProjectService::stageOnWorker(const QString &fileRef)
{
    const QString file = fileRef;
    const std::shared_ptr<CancelToken> cancel = m_cancel;
    // The copy may take long: it runs on a worker, the main thread stays free.
    QFuture<QString> copying = QtConcurrent::run(
        [file, cancel] { return stageFileToTemp(file, cancel ? cancel->flag() : nullptr); });
    try {
        co_return co_await copying;
    } catch (const QUnhandledException &wrapped) {
        // QtConcurrent wraps what is not a QException; the copier's own error says what failed.
        if (!wrapped.exception()) {
            throw;
        }
        std::rethrow_exception(wrapped.exception());
    }
}

QCoro::Task<QString> QuickProjectService::uploadPartWithRetry(const HttpRequest &requestRef,
                                                              int partNumber, int maxRetries)
{
    const HttpRequest request = requestRef;
    const QString part = QString::number(partNumber);
    for (int attempt = 1;; ++attempt) {
        std::exception_ptr failure;
        try {
            const HttpResponse response = co_await HttpTransport::send(request);
            if (response.statusCode <= 0) {
                throw QuickProjectServiceError(-1, QStringLiteral("Invalid response"));
            }
            logInfo(QStringLiteral("Part ") + part + QStringLiteral(" upload response: ") +
                    QString::number(response.statusCode));
            if (response.statusCode < 200 || response.statusCode > 299) {
                throw QuickProjectServiceError(response.statusCode,
                                               QStringLiteral("Upload failed with status ") +
                                                   QString::number(response.statusCode));
            }
            const std::optional<QByteArray> etagHeader = response.header("etag");
            if (!etagHeader) {
                throw QuickProjectServiceError(-2, QStringLiteral("No ETag in response"));
            }
            QString etag = QString::fromUtf8(*etagHeader);
            while (etag.startsWith(QLatin1Char('"'))) {
                etag.remove(0, 1);
            }
            while (etag.endsWith(QLatin1Char('"'))) {
                etag.chop(1);
            }
            logInfo(QStringLiteral("Part ") + part +
                    QStringLiteral(" uploaded successfully, ETag: ") + etag);
            co_return etag;
        } catch (...) {
            failure = std::current_exception();
        }
        throwIfCancelled();
        const QString description = describe(failure);
        if (isTransient(failure) && attempt < maxRetries) {
            logWarn(QStringLiteral("Part ") + part + QStringLiteral(" upload failed (attempt ") +
                    QString::number(attempt) + QLatin1Char('/') + QString::number(maxRetries) +
                    QStringLiteral("): ") + description);
            logInfo(QStringLiteral("Retrying in ") + QString::number(attempt * 2) +
                    QStringLiteral(" seconds..."));
            co_await pause(attempt * 2);
            throwIfCancelled();
            continue;
        }
        logError(QStringLiteral("Part ") + part + QStringLiteral(" upload failed permanently: ") +
                 debugDescribe(failure));
        std::rethrow_exception(failure);
    }
}

std::function<void(qint64)> QuickProjectService::bodyProgressReporter(qint64 partOffset,
                                                                      qint64 fileSize)
{
    // Runs on the transfer's worker thread; the signal is sent from the application's thread.
    struct Throttle {
        qint64 lastBytes = 0;
        std::chrono::steady_clock::time_point lastTime = std::chrono::steady_clock::now();
    };
    auto throttle = std::make_shared<Throttle>();
    return [self = QPointer<QuickProjectService>(this), partOffset, fileSize,
            throttle](qint64 bodySent) {
        const auto now = std::chrono::steady_clock::now();
        if (bodySent >= throttle->lastBytes &&
            bodySent - throttle->lastBytes < kProgressStepBytes &&
            now - throttle->lastTime < kProgressStepTime) {
            return;
        }
        throttle->lastBytes = bodySent;
        throttle->lastTime = now;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, sent = partOffset + bodySent, fileSize] {
                if (self) {
                    Q_EMIT self->uploadBytesSent(sent, fileSize);
                }
            },
            Qt::QueuedConnection);
    };
}

QCoro::Task<QStringList> QuickProjectService::uploadFileParts(const QString &filePathRef,
                                                              qint64 fileSize,
                                                              const QStringList &urlsRef)
{
    const QString filePath = filePathRef;
    const QStringList urls = urlsRef;
    const QList<PartRange> ranges = partRanges(fileSize, int(urls.size()));
    QStringList etags;
    qint64 sent = 0;
    for (qsizetype index = 0; index < ranges.size(); ++index) {
        const PartRange range = ranges[index];
        const int partNumber = int(index + 1);
        const QUrl url(urls[index], QUrl::StrictMode);
        if (!url.isValid() || url.isRelative() || url.host().isEmpty()) {
            throw QuickProjectServiceError(-4, QStringLiteral("Invalid upload URL"));
        }
        throwIfCancelled();
        logInfo(QStringLiteral("Uploading part ") + QString::number(partNumber) + QLatin1Char('/') +
                QString::number(urls.size()) + QStringLiteral(", size: ") +
                QString::number(range.length) + QStringLiteral(" bytes"));
        HttpRequest request;
        request.method = "PUT";
        request.url = url;
        request.timeout = kPartIdleTimeout;
        // The upload session waits for the service to be reachable again, within its time-out.
        request.totalTimeout = kPartTotalTimeout;
        request.waitsForConnectivity = true;
        request.cancel = m_cancel;
        request.headers = {{"Content-Length", QByteArray::number(range.length)},
                           {"Content-Type", "application/octet-stream"}};
        request.bodyFile = HttpBodyFile{filePath, range.offset, range.length};
        request.onBodySent = bodyProgressReporter(sent, fileSize);
        const QString etag = co_await uploadPartWithRetry(request, partNumber, kPartTries);
        etags.append(etag);
        sent += range.length;
        Q_EMIT partUploaded(sent, fileSize);
    }
    co_return etags;
}

QCoro::Task<> QuickProjectService::uploadSingleFile(qint64 projectId, const QString &filePathRef,
                                                    const QString &fileNameRef, qint64 fileSize)
{
    const QString filePath = filePathRef;
    const QString fileName = fileNameRef;
    const std::shared_ptr<VorlantaApiClient> client = m_apiClient;
    if (startSecurityScopedAccess(filePath)) {
        logInfo(QStringLiteral("Started security-scoped access for: ") + fileName);
    }
    const QString changed = QStringLiteral("File changed during upload: ") + fileName;
    {
        // Opening proves the file is readable before the service is asked for URLs.
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly)) {
            const QString message = QStringLiteral("Could not read ") + fileName +
                                    QStringLiteral(": ") + file.errorString();
            throw std::runtime_error(message.toStdString());
        }
        if (file.size() != fileSize) {
            throw QuickProjectServiceError(-3, changed);
        }
    }
    logInfo(QStringLiteral("Read ") + QString::number(fileSize) + QStringLiteral(" bytes from ") +
            fileName);
    const InitUploadResponse init = co_await client->initFileUpload(projectId, fileName, fileSize);
    logInfo(QStringLiteral("Got ") + QString::number(init.urls.size()) +
            QStringLiteral(" presigned URLs for ") + fileName);
    const QStringList etags = co_await uploadFileParts(filePath, fileSize, init.urls);
    logInfo(QStringLiteral("Uploaded ") + QString::number(etags.size()) +
            QStringLiteral(" parts for ") + fileName);
    // A file still being written would complete with parts that no longer match it.
    if (getFileSize(filePath) != std::optional<qint64>(fileSize)) {
        throw QuickProjectServiceError(-3, changed);
    }
    throwIfCancelled();
    co_await client->completeFileUpload(init.file_id, etags);
    logInfo(QStringLiteral("Completed upload for ") + fileName);
}

QCoro::Task<> QuickProjectService::performUploads(qint64 projectId, const QStringList &filesRef)
{
    const QStringList files = filesRef;
    const auto run = runScope();
    logInfo(QStringLiteral("Starting file uploads for project ") + QString::number(projectId));
    if (files.isEmpty()) {
        setProgress(1);
        logInfo(QStringLiteral("All files uploaded successfully"));
        co_return;
    }
    qint64 total = 0;
    for (const QString &file : files) {
        total += getFileSize(file).value_or(0);
    }
    qint64 done = 0;
    for (qsizetype index = 0; index < files.size(); ++index) {
        const QString &file = files[index];
        if (cancelRequested()) {
            stopCancelled(files.mid(index));
        }
        const QString name = fileNameOf(file);
        logInfo(QStringLiteral("Processing file: ") + name);
        // The file's row among the recent uploads: failed unless finished below.
        UploadReport report(name);
        const auto reportBytes = [&report](qint64 sent, qint64 fileSize) {
            if (fileSize > 0) {
                report.progress(double(sent) / double(fileSize));
            }
        };
        const QMetaObject::Connection bytesSent =
            connect(this, &QuickProjectService::uploadBytesSent, this, reportBytes);
        const QMetaObject::Connection partSent =
            connect(this, &QuickProjectService::partUploaded, this, reportBytes);
        const auto stopReporting = qScopeGuard([bytesSent, partSent] {
            QObject::disconnect(bytesSent);
            QObject::disconnect(partSent);
        });
        const std::optional<qint64> size = getFileSize(file);
        if (!size) {
            throw QuickProjectServiceError(-1,
                                           QStringLiteral("Could not get file size for ") + name);
        }
        std::optional<QString> staged;
        std::exception_ptr lastError;
        QString source = file;
        logInfo(QStringLiteral("Upload attempt 1/3 for ") + name);
        for (int attempt = 1;; ++attempt) {
            std::exception_ptr failure;
            try {
                throwIfCancelled();
                if (attempt == kFileAttempts) {
                    logInfo(QStringLiteral("Attempt 3: Staging ") + name +
                            QStringLiteral(" to temp directory"));
                    setStatus(QStringLiteral("Staging file to temp..."));
                    staged = co_await stageOnWorker(file);
                    logInfo(QStringLiteral("Staged to: ") + *staged);
                    source = *staged;
                }
                co_await uploadSingleFile(projectId, source, name, *size);
            } catch (...) {
                failure = std::current_exception();
            }
            if (!failure) {
                logInfo(QStringLiteral("Upload succeeded on attempt ") + QString::number(attempt) +
                        QStringLiteral(" for ") + name);
                removeStagedCopy(staged);
                report.finish(true);
                done += *size;
                setProgress(total < 1 ? 0.0 : double(done) / double(total));
                setStatus(QStringLiteral("Uploading... ") +
                          QString::asprintf("%.1f", m_uploadProgress * 100.0) + QLatin1Char('%'));
                break;
            }
            if (cancelRequested()) {
                removeStagedCopy(staged);
                stopCancelled(files.mid(index));
            }
            logWarn(QStringLiteral("Attempt ") + QString::number(attempt) +
                    QStringLiteral(" failed for ") + name + QStringLiteral(": ") +
                    describe(failure));
            lastError = failure;
            if (attempt >= kFileAttempts) {
                removeStagedCopy(staged);
                if (!lastError) {
                    lastError = std::make_exception_ptr(QuickProjectServiceError(
                        -1, QStringLiteral("Upload failed after 3 attempts")));
                }
                setStatus(QStringLiteral("Upload failed for ") + name + QStringLiteral(": ") +
                          describe(lastError));
                std::rethrow_exception(lastError);
            }
            logInfo(QStringLiteral("Waiting ") + QString::number(attempt * 2) +
                    QStringLiteral("s before retry..."));
            co_await pause(attempt * 2);
            removeStagedCopy(staged);
            logInfo(QStringLiteral("Upload attempt ") + QString::number(attempt + 1) +
                    QStringLiteral("/3 for ") + name);
            source = file;
        }
    }
    setProgress(1);
    logInfo(QStringLiteral("All files uploaded successfully"));
}

QCoro::Task<qint64> QuickProjectService::createProject(const QString &title,
                                                       const std::optional<QString> &notes,
                                                       qint64 channelId,
                                                       const std::optional<QString> &dueDate,
                                                       bool includeThumbnail, bool includeLongForm,
                                                       bool includeShort, const QStringList &files)
{
    QuickProjectDraft draft;
    draft.title = title;
    draft.notes = notes;
    draft.dueDate = dueDate;
    draft.channelId = channelId;
    draft.includeThumbnail = includeThumbnail;
    draft.includeLongForm = includeLongForm;
    draft.includeShort = includeShort;
    draft.files = files;
    const QStringList fileList = files;
    const std::shared_ptr<VorlantaApiClient> client = m_apiClient;
    const auto run = runScope();

    logInfo(QStringLiteral("Starting project creation: ") + draft.title +
            QStringLiteral(", files: ") + QString::number(fileList.size()));
    setUploading(true);
    setProgress(0);
    setStatus(QStringLiteral("Creating project..."));
    logInfo(QStringLiteral("Creating project via API"));
    qint64 projectId = 0;
    std::exception_ptr failure;
    try {
        projectId = co_await client->createProject(draft);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        logError(QStringLiteral("Error creating project: ") + debugDescribe(failure));
        setStatus(QStringLiteral("Error creating project: ") + describe(failure));
        setUploading(false);
        std::rethrow_exception(failure);
    }
    logInfo(QStringLiteral("Project created with ID: ") + QString::number(projectId));
    if (!fileList.isEmpty()) {
        try {
            co_await performUploads(projectId, fileList);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            setUploading(false);
            std::rethrow_exception(failure);
        }
    }
    setStatus(QStringLiteral("Project created successfully!"));
    logInfo(QStringLiteral("Project creation workflow completed"));
    setUploading(false);
    co_return projectId;
}

QCoro::Task<> QuickProjectService::addFiles(qint64 projectId, const QStringList &filesRef)
{
    const QStringList files = filesRef;
    if (files.isEmpty()) {
        co_return;
    }
    const auto run = runScope();
    logInfo(QStringLiteral("Sending missing files to project ") + QString::number(projectId));
    setUploading(true);
    setStatus(QStringLiteral("Uploading files..."));
    setProgress(0);
    std::exception_ptr failure;
    try {
        co_await performUploads(projectId, files);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        setUploading(false);
        std::rethrow_exception(failure);
    }
    setStatus(QStringLiteral("Files uploaded successfully!"));
    setProgress(1);
    setUploading(false);
}

QString QuickProjectService::describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuickProjectServiceError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}
