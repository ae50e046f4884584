#pragma once

#include "core/api/HttpTransport.h"
#include "core/api/VorlantaApiClient.h"

#include <QCoro/QCoroTask>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>

class QTimer;

// An error raised by the upload engine itself (domain "QuickProjectService").
class QuickProjectServiceError : public std::runtime_error {
public:
    QuickProjectServiceError(int code, const QString &description);

    static QString domain() { return QStringLiteral("QuickProjectService"); }
    int code() const { return m_code; }
    QString description() const { return m_description; }
    // With the domain and code, for logs.
    QString debugDescription() const;

private:
    int m_code;
    QString m_description;
};

// Uploads files in presigned parts and drives the two project workflows (new project, missing
// files). State changes happen on the main thread only; one file and one part at a time.
// Coroutines take parameters by reference and copy them before their first suspension (GCC 12).
class QuickProjectService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isUploading READ isUploading NOTIFY isUploadingChanged)
    Q_PROPERTY(double uploadProgress READ uploadProgress NOTIFY uploadProgressChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)

public:
    explicit QuickProjectService(std::shared_ptr<VorlantaApiClient> apiClient,
                                 QObject *parent = nullptr);

    bool isUploading() const { return m_isUploading; }
    double uploadProgress() const { return m_uploadProgress; }
    QString statusText() const { return m_statusText; }

    std::shared_ptr<VorlantaApiClient> apiClient() const { return m_apiClient; }
    void setApiClient(std::shared_ptr<VorlantaApiClient> apiClient);

    // Multiplies every retry pause (2 s, 4 s); 1 in production, small in tests.
    static void setRetryPauseScale(double scale);
    static double retryPauseScale();

    // Workflows. Both throw the error that ended them.
    QCoro::Task<qint64> createProject(const QString &title, const std::optional<QString> &notes,
                                      qint64 channelId, const std::optional<QString> &dueDate,
                                      bool includeThumbnail, bool includeLongForm,
                                      bool includeShort, const QStringList &files);
    QCoro::Task<> addFiles(qint64 projectId, const QStringList &files);

    // Stops the workflow under way (main thread): the part on its way is aborted, nothing more is
    // sent (no completion of the file, no further files), and the workflow throws
    // QuickProjectServiceError with code kCancelled; its description names the files that did
    // not finish. Does nothing when no workflow runs.
    void cancel();
    // The platform's code for a cancelled operation.
    static constexpr int kCancelled = -999;
    // The staged copy could not be made.
    static constexpr int kStagingFailed = -5;

    // Engine. Uploads every file or throws the first file's final error.
    QCoro::Task<> performUploads(qint64 projectId, const QStringList &files);
    // One attempt for one file: init, parts, complete.
    QCoro::Task<> uploadSingleFile(qint64 projectId, const QString &filePath,
                                   const QString &fileName, qint64 fileSize);
    // PUTs the parts of the file's first fileSize bytes, one per URL; the ETags in part order.
    std::function<void(qint64)> bodyProgressReporter(qint64 partOffset, qint64 fileSize);
    QCoro::Task<QStringList> uploadFileParts(const QString &filePath, qint64 fileSize,
                                             const QStringList &urls);
    // The ETag of one part; retries transient network errors only.
    QCoro::Task<QString> uploadPartWithRetry(const HttpRequest &request, int partNumber,
                                             int maxRetries);

    struct PartRange {
        qint64 offset = 0;
        qint64 length = 0;
        bool operator==(const PartRange &) const = default;
    };
    // Equal parts of ceil(size / urlCount) bytes; fewer than urlCount when the bytes run out.
    static QList<PartRange> partRanges(qint64 size, int urlCount);

    // A copy in the temporary directory named "<UUID>_<name>"; throws QuickProjectServiceError
    // when the copy fails (kStagingFailed) or the flag stopped it (kCancelled).
    static QString stageFileToTemp(const QString &originalFile,
                                   const std::atomic_bool *cancel = nullptr);
    static std::optional<qint64> getFileSize(const QString &file);
    // The text a user reads for the error that ended a workflow.
    static QString describe(const std::exception_ptr &error);

signals:
    void isUploadingChanged(bool isUploading);
    void uploadProgressChanged(double uploadProgress);
    void statusTextChanged(const QString &statusText);
    // A part of the current file went through: bytes of that file sent so far in this attempt.
    void partUploaded(qint64 sentInFile, qint64 fileSize);
    // While a part is on its way, about every MiB or quarter second: bytes of the current file
    // sent so far in this attempt (less again when a part is retried).
    void uploadBytesSent(qint64 sentInFile, qint64 fileSize);

private:
    void setUploading(bool value);
    void setProgress(double value);
    void setStatus(const QString &value);

    // Marks a workflow as running, for cancel(): the outermost of the nested workflow calls
    // makes the cancel token, and the guard it returns drops the token when that call ends.
    auto runScope();
    bool cancelRequested() const { return m_cancel && m_cancel->isCancelled(); }
    void throwIfCancelled() const;
    [[noreturn]] void stopCancelled(const QStringList &notFinished);
    // A retry pause that cancel() ends at once.
    QCoro::Task<> pause(int seconds);
    QCoro::Task<QString> stageOnWorker(const QString &file);

    std::shared_ptr<VorlantaApiClient> m_apiClient;
    std::shared_ptr<CancelToken> m_cancel; // while a workflow runs
    QPointer<QTimer> m_pauseTimer;         // while a pause runs
    bool m_isUploading = false;
    double m_uploadProgress = 0;
    QString m_statusText = QStringLiteral("Ready");
};
