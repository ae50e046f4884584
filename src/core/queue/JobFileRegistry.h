#pragma once

#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtCore/QString>

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
    // modification time changes.
    void rememberFailed(const QString &path);
    // True when the file failed before and has not changed since.
    bool isKnownFailure(const QString &path);

    void clear(); // for tests

private:
    struct Identity {
        qint64 size = -1;
        qint64 modifiedNs = -1;
        bool operator==(const Identity &other) const = default;
    };
    static Identity identityOf(const QString &path);

    std::mutex m_mutex;
    QSet<QString> m_claimed;
    QHash<QString, Identity> m_failed;
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
