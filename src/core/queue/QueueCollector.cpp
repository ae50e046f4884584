#include "core/queue/QueueCollector.h"

#include "core/queue/FileCopier.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/JobFileRegistry.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

} // namespace

QueueCollector::QueueCollector() = default;

QueueCollector::~QueueCollector()
{
    {
        std::lock_guard lock(m_monitorLock);
        m_fileMonitor.reset();
    }
    m_cancelCopies = true;
    // m_queueQueue's destructor runs what was already submitted (quickly, copies are cancelled)
    // and drops the delayed jobs.
}

void QueueCollector::startMonitoring()
{
    // 1.-2.
    Console::printLine(QStringLiteral("[QueueCollector] Starting queue monitoring"));
    Paths::ensureAll();
    // Partial copies of an earlier process; those of copies under way here are kept.
    FileCopier::removeStalePartials(Paths::outboxDir());
    // 3. The callback only hands the batch on; it never outlives the monitor.
    auto monitor =
        std::make_unique<FileMonitor>(Paths::queueDir(), [this](const QList<FileChange> &changes) {
            handleQueueChanges(changes);
        });
    {
        std::lock_guard lock(m_monitorLock);
        m_fileMonitor = std::move(monitor);
    }
    // 4.
    Logger::info(QStringLiteral("QueueCollector started monitoring: ") + Paths::queueDir());
}

void QueueCollector::stopMonitoring()
{
    Console::printLine(QStringLiteral("[QueueCollector] Stopping queue monitoring"));
    std::unique_ptr<FileMonitor> monitor;
    {
        std::lock_guard lock(m_monitorLock);
        monitor = std::move(m_fileMonitor);
    }
    monitor.reset(); // cancels the watch and waits for a running callback
    Logger::info(QStringLiteral("QueueCollector stopped monitoring"));
}

bool QueueCollector::isMonitoring()
{
    std::lock_guard lock(m_monitorLock);
    return m_fileMonitor != nullptr;
}

void QueueCollector::handleQueueChanges(const QList<FileChange> &changes)
{
    Console::printLine(QStringLiteral("[QueueCollector] Handling queue changes: ") +
                       QString::number(changes.size()) + QStringLiteral(" changes detected"));
    m_queueQueue.async([this, changes] {
        for (const FileChange &change : changes) {
            if (change.kind != FileChange::Kind::added ||
                QFileInfo(change.path).suffix() != QLatin1String("json")) {
                continue;
            }
            Console::printLine(QStringLiteral("[QueueCollector] New job file detected: ") +
                               change.path);
            Logger::info(QStringLiteral("New job file detected: ") + change.path);
            processJobFile(change.path);
        }
    });
}

void QueueCollector::processJobFile(const QString &path)
{
    m_queueQueue.asyncAfter(100ms, [this, path] { processJobFileInternal(path); });
}

void QueueCollector::waitUntilIdle()
{
    while (m_queueQueue.hasWork()) {
        std::this_thread::sleep_for(5ms);
    }
}

void QueueCollector::processJobFileInternal(const QString &path)
{
    // 1. One job at a time; the queue runs its tasks exclusively, so this only guards re-entry.
    if (m_processing) {
        m_queueQueue.asyncAfter(500ms, [this, path] { processJobFileInternal(path); });
        return;
    }
    // One consumer per file: the job worker may hold it, or have archived it already.
    const JobFileClaim claim(path);
    if (!claim.owned() || !QFileInfo::exists(path) ||
        JobFileRegistry::shared().isKnownFailure(path)) {
        return;
    }
    // 2.
    m_processing = true;
    try {
        stageAndArchive(path);
    } catch (const FileCopier::CopyCancelled &) {
        Console::printLine(QStringLiteral("[QueueCollector] Job interrupted, left in the queue: ") +
                           path);
    } catch (const FileCopier::StagingFault &fault) {
        // Archiving now would drop the files not staged: the job waits, and the job worker
        // tries it again later.
        reportFailure(path, fault.description, true);
    }
    // 9.
    m_processing = false;
}

void QueueCollector::reportFailure(const QString &path, const QString &description, bool canPass,
                                   bool logged)
{
    // Told to the user as the job worker tells its failures, and only once: the worker leaves
    // the file alone while it is a known failure.
    const QString message = QStringLiteral("Failed to process job ") + QFileInfo(path).fileName() +
                            QStringLiteral(": ") + description;
    if (!logged) {
        Logger::error(message);
    }
    JobFileRegistry::shared().rememberFailed(path, message, canPass);
}

void QueueCollector::stageAndArchive(const QString &path)
{
    // 3.-5. Read, check and build the envelope.
    const JobReadResult read = JobFileReader::read(path);
    if (read.status == JobReadResult::Status::readFailed) {
        Logger::error(QStringLiteral("Failed to process job file ") + path + QStringLiteral(": ") +
                      read.errorDetail);
        reportFailure(path, read.errorDescription, false, true);
        return;
    }
    if (read.status == JobReadResult::Status::invalid) {
        Logger::error(QStringLiteral("Invalid job file format: ") + path);
        JobFileRegistry::shared().rememberFailed(path);
        return;
    }
    const JobEnvelope &envelope = read.envelope;
    const AnyCodableValue &payload = envelope.payload;

    // 6.
    Logger::info(QStringLiteral("Processing job: ") + jobTypeRawValue(envelope.type) +
                 QStringLiteral(" - ") + envelope.id);

    // 7. Stage by type. A copy that failed for a reason that can pass (a full disk) throws,
    // and the job stays queued; other failures are logged or ignored, and the job is archived.
    const QString outbox = Paths::outboxDir() + QLatin1Char('/') + envelope.id;
    const auto makeOutbox = [&outbox] {
        if (!QDir().mkpath(outbox)) {
            throw FileCopier::StagingFault{QStringLiteral("Cannot create the outbox directory ") +
                                           outbox};
        }
        // A run cut off by a crash may have left partial copies; this one stages the job again.
        FileCopier::removeStalePartials(outbox);
    };
    switch (envelope.type) {
    case JobType::uploadFolder: {
        const auto folder = payload.find("folderPath");
        if (folder == payload.end() || !folder->is_string()) {
            break;
        }
        makeOutbox();
        const QString folderPath = QString::fromStdString(folder->get<std::string>());
        if (!QFileInfo::exists(folderPath)) {
            Logger::warn(QStringLiteral("Folder does not exist: ") + Logger::excerpt(folderPath));
            break;
        }
        // The folder keeps its name inside the job's outbox directory.
        const QString destination = outbox + QLatin1Char('/') + QFileInfo(folderPath).fileName();
        const FileCopier::Result result =
            FileCopier::copyRecursively(folderPath, destination, &m_cancelCopies);
        FileCopier::throwIfInterrupted(result);
        if (result.ok) {
            Logger::info(QStringLiteral("Copied folder to outbox: ") + folderPath);
        }
        break;
    }
    case JobType::uploadFiles:
    case JobType::quickProject:
    case JobType::missing: {
        const std::optional<QStringList> files = extractFilesFromPayload(payload);
        if (!files) {
            break;
        }
        makeOutbox();
        const bool missing = envelope.type == JobType::missing;
        for (const QString &file : *files) {
            if (!QFileInfo::exists(file)) {
                Logger::warn((missing ? QStringLiteral("Missing file does not exist: ")
                                      : QStringLiteral("File does not exist: ")) +
                             Logger::excerpt(file));
                continue;
            }
            const QString destination = outbox + QLatin1Char('/') + QFileInfo(file).fileName();
            // Never overwrites: an existing copy makes this one fail, silently. A listed folder
            // is staged whole under its own name, keeping what a cut-off run staged.
            const FileCopier::Result result =
                QFileInfo(file).isDir()
                    ? FileCopier::copyDirectory(file, destination, &m_cancelCopies)
                    : FileCopier::copyFile(file, destination, &m_cancelCopies);
            FileCopier::throwIfInterrupted(result);
            if (result.ok) {
                Logger::info((missing ? QStringLiteral("Copied missing file to outbox: ")
                                      : QStringLiteral("Copied file to outbox: ")) +
                             destination);
            }
        }
        break;
    }
    case JobType::quickCreate: {
        makeOutbox();
        const auto target = payload.find("targetPath");
        if (target == payload.end() || !target->is_string()) {
            break;
        }
        const QString marker = outbox + QStringLiteral("/quickcreate.txt");
        const FileCopier::Result result = FileCopier::writeTextAtomically(
            marker, QStringLiteral("QuickCreate at: ") +
                        QString::fromStdString(target->get<std::string>()));
        if (result.ok) {
            Logger::info(QStringLiteral("QuickCreate marker written: ") + marker);
        }
        FileCopier::throwIfInterrupted(result);
        break;
    }
    }

    // 8. Archive; a failed move leaves the file in the queue.
    const QString archived = Paths::processedDir() + QLatin1Char('/') + QFileInfo(path).fileName();
    const FileCopier::Result moved = FileCopier::moveWithoutReplacing(path, archived);
    if (moved.ok) {
        Logger::info(QStringLiteral("Job archived: ") + archived);
    } else {
        reportFailure(path, moved.errorDescription, false);
    }
}
