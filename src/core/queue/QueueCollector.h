#pragma once

#include "core/queue/FileMonitor.h"
#include "core/shell/SerialQueue.h"

#include <QtCore/QString>

#include <atomic>
#include <memory>
#include <mutex>

// The event-driven consumer of the queue directory: each job file that appears is staged in
// the outbox 0.1 s later and archived. Files present when monitoring starts are left to the job
// worker.
class QueueCollector {
public:
    // Not monitoring yet.
    QueueCollector();
    // Stops monitoring; scheduled jobs that have not started are dropped (they stay in the
    // queue), and the copies of a job under way are cancelled, leaving it in the queue.
    ~QueueCollector();

    QueueCollector(const QueueCollector &) = delete;
    QueueCollector &operator=(const QueueCollector &) = delete;

    void startMonitoring();
    void stopMonitoring();
    bool isMonitoring();

    void handleQueueChanges(const QList<FileChange> &changes);
    // Processes the job file 0.1 s from now.
    void processJobFile(const QString &path);

    // Blocks until nothing is scheduled or running (tests and benchmarks).
    void waitUntilIdle();

private:
    void processJobFileInternal(const QString &path);
    void stageAndArchive(const QString &path);
    // A failed job: logged unless it was already, remembered, and told to the user once.
    static void reportFailure(const QString &path, const QString &description, bool canPass,
                              bool logged = false);

    std::mutex m_monitorLock;
    std::unique_ptr<FileMonitor> m_fileMonitor;
    std::atomic_bool m_cancelCopies{false};
    bool m_processing = false; // only touched on m_queueQueue
    // Last member: its thread ends first, before the rest is destroyed.
    SerialQueue m_queueQueue{"QueueCollector"};
};
