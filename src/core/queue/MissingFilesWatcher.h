#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <chrono>
#include <memory>

// The missing-files inbox: other programs append paths, one a line, to "missing.queue" in the
// inbox directory. Once a burst of changes has settled for debounceTime(), the paths that exist
// (one per file name) are published as missingFiles and enqueued as one Missing job.
//
// The object lives on the thread that creates it, where missingFilesChanged is emitted and the
// job is written. Watching, the debounce and reading the queue file run on the watcher's own
// thread, named "MissingFilesWatcher".
class MissingFilesWatcher : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList missingFiles READ missingFiles NOTIFY missingFilesChanged)
public:
    static constexpr std::chrono::milliseconds kDebounceTime{750};

    // Inbox at defaultInboxDir().
    explicit MissingFilesWatcher(QObject *parent = nullptr);
    // Inbox at the given directory. Either constructor creates the directory with its parents.
    explicit MissingFilesWatcher(const QString &inboxDir, QObject *parent = nullptr);
    // Stops watching and ends the thread. A queue file whose reading had not begun stays on disk;
    // one already read is still enqueued.
    ~MissingFilesWatcher() override;

    MissingFilesWatcher(const MissingFilesWatcher &) = delete;
    MissingFilesWatcher &operator=(const MissingFilesWatcher &) = delete;

    // <documents>/VorlantaClient/MissingInbox
    static QString defaultInboxDir();

    const QString &missingInboxDir() const { return m_inboxDir; }
    // <inbox>/missing.queue
    const QString &missingQueuePath() const { return m_queuePath; }
    // <inbox>/.missing.queue.processing: the queue file is moved here before it is read, so lines
    // appended meanwhile go to a new queue file. One left behind is read before the queue file.
    const QString &processingQueuePath() const { return m_processingPath; }
    std::chrono::milliseconds debounceTime() const { return kDebounceTime; }

    // The files of the latest non-empty batch; empty until then.
    QStringList missingFiles() const { return m_missingFiles; }

    // Watches the inbox directory. Does nothing more when already watching.
    void startWatching();
    // Stops watching. A debounce already running still fires.
    void stopWatching();
    // Reads the queue file on the watcher's thread; returns at once.
    void processMissingQueue();
    // Returns once every call made before it has been carried out on the watcher's thread. A
    // batch found meanwhile is published by this object's thread afterwards, from its events.
    void waitUntilIdle();

signals:
    void missingFilesChanged();

private:
    struct Worker;

    void publish(const QStringList &files);

    QString m_inboxDir;
    QString m_queuePath;
    QString m_processingPath;
    QStringList m_missingFiles;
    bool m_destroying = false;
    std::unique_ptr<Worker> m_worker;
};
