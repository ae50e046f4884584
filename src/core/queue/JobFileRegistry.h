#pragma once

#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtCore/QString>

#include <chrono>
#include <functional>
#include <mutex>

// What the two queue consumers of this process share about job files: which one is handling a
// file right now, and which files failed and are to be left alone while they stay unchanged.
class JobFileRegistry {
public:
    static JobFileRegistry &shared();

    // True when the caller now owns the file; false while the other consumer has it.
    bool tryClaim(const QString &path);
    void release(const QString &path);
    bool isClaimed(const QString &path);

    // The file stays in the queue after a failure: skip it until its name, size or
    // modification time changes; one whose failure can pass (a full disk) is also tried again
    // after a delay that grows with each failure, from 3 s to a minute. The callback hears of
    // the failure (with the message) only when it is new: not for a retry of an unchanged file.
    void rememberFailed(const QString &path, const QString &message = {}, bool canPass = false);
    // True when the file failed before, has not changed since and is not due for a retry.
    bool isKnownFailure(const QString &path);

    // Where the failures of whole jobs go (the user interface); called on the consumer's thread.
    void setFailureCallback(std::function<void(const QString &)> callback);

    void clear(); // for tests

private:
    struct Identity {
        qint64 size = -1;
        qint64 modifiedNs = -1;
        bool operator==(const Identity &other) const = default;
    };
    struct Failure {
        Identity identity;
        std::chrono::steady_clock::duration retryDelay{}; // zero: only a change helps
        std::chrono::steady_clock::time_point retryAt;
    };
    static Identity identityOf(const QString &path);

    std::mutex m_mutex;
    QSet<QString> m_claimed;
    QHash<QString, Failure> m_failed;
    std::function<void(const QString &)> m_failureCallback;
};

// Holds a claim for one scope.
class JobFileClaim {
public:
    explicit JobFileClaim(const QString &path)
        : m_path(path), m_owned(JobFileRegistry::shared().tryClaim(path))
    {}
    ~JobFileClaim()
    {
        if (m_owned) {
            JobFileRegistry::shared().release(m_path);
        }
    }
    JobFileClaim(const JobFileClaim &) = delete;
    JobFileClaim &operator=(const JobFileClaim &) = delete;
    bool owned() const { return m_owned; }

private:
    QString m_path;
    bool m_owned;
};
